// benchrun: runs one program of the benchmarks, tabtest or the baseline, and
// times its start-up from inside Wine.
//
//   benchrun.exe PROGRAM [LASTX]
//
// Starts PROGRAM and waits for its dialog "WinTab32 Info" to be visible;
// prints `visible us=T`, the microseconds from just before CreateProcess.
// With LASTX it then creates the file `go` in the current folder (a scenario's
// `waitfile go` lets the pen script start) and waits until the pen's X field
// shows LASTX; prints `shown x=LASTX`. Then prints `peak bytes=N`, the
// process's peak working set, closes the dialog as its OK button does, waits
// for the process to end and prints `exit code=N`.
// A wait that times out prints `timeout ...` and exits with status 1, an
// error prints `error ...`, status 2; either ends the program first.
#include <windows.h>
#include <psapi.h>
#include <stdio.h>
#include <string.h>

#include "resource.h"

#define VISIBLE_LIMIT_MS 60000
#define SHOWN_LIMIT_MS   120000
#define EXIT_LIMIT_MS    15000
#define SEND_LIMIT_MS    5000
// Rare, so that reading the field takes next to nothing from the dialog.
#define TEXT_POLL_MS     20

static PROCESS_INFORMATION child;

static void Finish(int status, const char *line)
{
    printf("%s\n", line);
    fflush(stdout);
    if (child.hProcess != NULL && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT)
        TerminateProcess(child.hProcess, 1);
    ExitProcess(status);
}

static BOOL ChildEnded(void)
{
    return WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0;
}

// The child's dialog once it is visible, else NULL.
static HWND VisibleDialog(void)
{
    HWND window = NULL;
    while ((window = FindWindowExA(NULL, window, "#32770", "WinTab32 Info")) != NULL) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == child.dwProcessId && IsWindowVisible(window))
            return window;
    }
    return NULL;
}

// Starts the program and polls every millisecond for its visible dialog.
static HWND StartAndWaitVisible(const char *program)
{
    char command[MAX_PATH + 2];
    STARTUPINFOA startup;
    LARGE_INTEGER frequency, start, now;
    HWND dialog;

    if (strlen(program) >= MAX_PATH)
        Finish(2, "error program path too long");
    sprintf(command, "\"%s\"", program);
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child))
        Finish(2, "error CreateProcess failed");

    DWORD begun = GetTickCount();
    while ((dialog = VisibleDialog()) == NULL) {
        if (ChildEnded())
            Finish(2, "error the program ended before its dialog was visible");
        if (GetTickCount() - begun >= VISIBLE_LIMIT_MS)
            Finish(1, "timeout visible");
        Sleep(1);
    }
    QueryPerformanceCounter(&now);
    printf("visible us=%llu\n",
           (unsigned long long)((now.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart));
    fflush(stdout);
    return dialog;
}

// Lets the pen script start and waits until the X field shows lastX.
static void GoAndWaitShown(HWND dialog, const char *lastX)
{
    if (WaitForInputIdle(child.hProcess, VISIBLE_LIMIT_MS) != 0)
        Finish(1, "timeout idle");
    HANDLE go = CreateFileA("go", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (go == INVALID_HANDLE_VALUE)
        Finish(2, "error cannot create the file go");
    CloseHandle(go);

    HWND field = GetDlgItem(dialog, IDC_PEN_X);
    DWORD begun = GetTickCount();
    for (;;) {
        char text[32] = "";
        DWORD_PTR copied;
        SendMessageTimeoutA(field, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_NORMAL,
                            SEND_LIMIT_MS, &copied);
        if (strcmp(text, lastX) == 0)
            break;
        if (ChildEnded())
            Finish(2, "error the program ended before it showed the last packet");
        if (GetTickCount() - begun >= SHOWN_LIMIT_MS)
            Finish(1, "timeout shown");
        Sleep(TEXT_POLL_MS);
    }
    printf("shown x=%s\n", lastX);
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3)
        Finish(2, "error usage: benchrun.exe PROGRAM [LASTX]");
    HWND dialog = StartAndWaitVisible(argv[1]);
    if (argc == 3)
        GoAndWaitShown(dialog, argv[2]);

    PROCESS_MEMORY_COUNTERS counters;
    if (!GetProcessMemoryInfo(child.hProcess, &counters, sizeof counters))
        Finish(2, "error GetProcessMemoryInfo failed");
    printf("peak bytes=%lu\n", (unsigned long)counters.PeakWorkingSetSize);

    PostMessageA(dialog, WM_COMMAND, IDOK, 0);
    if (WaitForSingleObject(child.hProcess, EXIT_LIMIT_MS) != WAIT_OBJECT_0)
        Finish(1, "timeout exit");
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    printf("exit code=%lu\n", code);
    return 0;
}
