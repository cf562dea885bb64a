// probe: looks at the running "WinTab32 Info" dialog the way a user sees it and
// acts on it the way a user does. It runs in the same Wine prefix and on the
// same display as the program under test, finds the windows by enumerating the
// top-level windows, and writes one line per observation to standard output as
// UTF-8 (texts in double quotes; `"`, `\` and control characters escaped as
// \" \\ \n \r \t \xHH).
//
// Usage: probe.exe [--timeout MS] [--keep-boxes] [--desktop NAME] COMMAND...
//   --timeout MS    limit of each waiting command (default 20000)
//   --keep-boxes    report message boxes but leave them open
//   --desktop NAME  work on this Wine desktop, once it exists (e.g. a virtual
//                   desktop started with `explorer /desktop=NAME,WxH`)
//
// While any command waits (wait-dialog, wait-text, wait-gone, sleep), the
// probe looks about every 5 ms for message boxes: visible top-level #32770
// windows other than the dialog. Each new one is reported as
//   box caption="..." text="..." owner=dialog|none|other dialog-visible=0|1
// (owner: the dialog, no owner, or another window; dialog-visible: whether the
// dialog was visible when the box was first seen) and then dismissed with its
// OK button, unless --keep-boxes.
//
// Commands and their output:
//   wait-dialog        until the dialog is visible: `dialog visible`
//   dump               `dialog caption="..." style=0x... exstyle=0x... class=...
//                      base=X,Y x=X y=Y w=W h=H` (base: a 4x8 dialog-unit
//                      rectangle in pixels; x..h: the window on the screen),
//                      then per child window in creation order `control index=N
//                      id=ID class=C style=0x... x=X y=Y w=W h=H visible=0|1
//                      text="..."` (pixels in the dialog's client area), then
//                      `focus id=ID` or `focus none`
//   wait-text ID TEXT  until control ID shows exactly TEXT: `text id=ID "..."`
//   key escape|enter|tab  a key press and release as keyboard input
//   click ID           clicks the button ID (BM_CLICK)
//   close-box          the caption's close box (WM_SYSCOMMAND SC_CLOSE)
//   command WPARAM     posts WM_COMMAND with this wParam and lParam 0
//   post MSG WPARAM LPARAM  posts this message to the dialog
//   wait-gone          until the dialog no longer exists: `gone`
//   boxes              reports every message box open now (dismissing it
//                      unless --keep-boxes)
//   sleep MS           waits, watching for message boxes
// The actions (key, click, close-box, command, post) return once the dialog's
// thread has handled them (or a message box it opened is up), so a dump right
// after one sees their effect. Numbers may be decimal or 0x hex. A wait that
// runs out prints `timeout COMMAND ...` and the probe exits with 1; a usage
// error or a missing dialog prints `error ...` and exits with 2.
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <vector>

static const wchar_t DIALOG_CAPTION[] = L"WinTab32 Info";
static const int DIALOG_TEMPLATE = 102;
static const DWORD POLL_INTERVAL_MS = 5;
static const UINT SEND_TIMEOUT_MS = 5000;

static DWORD waitLimitMs = 20000;
static bool keepBoxes = false;
static std::vector<HWND> seenBoxes;

static void WriteLine(const std::wstring &line)
{
    std::wstring withEnd = line + L"\n";
    int size = WideCharToMultiByte(CP_UTF8, 0, withEnd.c_str(), (int)withEnd.size(), NULL, 0, NULL, NULL);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, withEnd.c_str(), (int)withEnd.size(), &bytes[0], size, NULL, NULL);
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), (DWORD)bytes.size(), &written, NULL);
}

static std::wstring Format(const wchar_t *format, ...)
{
    wchar_t buffer[512];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 511, format, args);
    va_end(args);
    buffer[511] = L'\0';
    return buffer;
}

static std::wstring Quote(const std::wstring &text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c == L'\n') {
            quoted += L"\\n";
        } else if (c == L'\r') {
            quoted += L"\\r";
        } else if (c == L'\t') {
            quoted += L"\\t";
        } else if (c < 0x20 || c == 0x7F) {
            quoted += Format(L"\\x%02X", c);
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

// The text a window shows. Asked with WM_GETTEXT, because GetWindowText does
// not ask windows of other processes and returns only their creation text.
static std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &length))
        return L"";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, length + 1, (LPARAM)&text[0], SMTO_NORMAL, SEND_TIMEOUT_MS, &copied);
    text.resize(copied);
    return text;
}

static std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = L"";
    GetClassNameW(window, name, 256);
    return name;
}

static bool IsDialogWindow(HWND window)
{
    wchar_t caption[64] = L"";
    GetWindowTextW(window, caption, 64);
    return ClassOf(window) == L"#32770" && wcscmp(caption, DIALOG_CAPTION) == 0;
}

static HWND FindDialog()
{
    return FindWindowW(L"#32770", DIALOG_CAPTION);
}

static BOOL CALLBACK CollectBox(HWND window, LPARAM boxes)
{
    if (IsWindowVisible(window) && ClassOf(window) == L"#32770" && !IsDialogWindow(window))
        ((std::vector<HWND> *)boxes)->push_back(window);
    return TRUE;
}

static std::vector<HWND> OpenBoxes()
{
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, (LPARAM)&boxes);
    return boxes;
}

// A message box's text is its static control that is not the icon.
static std::wstring BoxText(HWND box)
{
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        LONG style = GetWindowLongW(child, GWL_STYLE);
        if (ClassOf(child) == L"Static" && (style & SS_TYPEMASK) != SS_ICON)
            return WindowText(child);
    }
    return L"";
}

static void ReportBox(HWND box)
{
    HWND dialog = FindDialog();
    HWND owner = GetWindow(box, GW_OWNER);
    const wchar_t *ownerName = owner == NULL ? L"none" : owner == dialog ? L"dialog" : L"other";
    WriteLine(L"box caption=" + Quote(WindowText(box)) + L" text=" + Quote(BoxText(box)) +
              L" owner=" + ownerName + L" dialog-visible=" + (dialog && IsWindowVisible(dialog) ? L"1" : L"0"));
    if (keepBoxes)
        return;
    HWND ok = GetDlgItem(box, IDOK);
    if (ok)
        PostMessageW(ok, BM_CLICK, 0, 0);
    else
        PostMessageW(box, WM_COMMAND, IDOK, 0);
}

static void WatchBoxes()
{
    for (HWND box : OpenBoxes()) {
        bool seen = false;
        for (HWND old : seenBoxes)
            seen = seen || old == box;
        if (seen)
            continue;
        seenBoxes.push_back(box);
        ReportBox(box);
    }
}

// Checks `done` about every 5 ms, watching for message boxes meanwhile, until
// it is true (returns true) or the time is up (returns false).
template <class Condition> static bool WaitFor(DWORD limitMs, Condition done)
{
    DWORD start = GetTickCount();
    for (;;) {
        WatchBoxes();
        if (done())
            return true;
        if (GetTickCount() - start >= limitMs)
            return false;
        Sleep(POLL_INTERVAL_MS);
    }
}

static void Fail(int exitCode, const std::wstring &line)
{
    WriteLine(line);
    ExitProcess(exitCode);
}

static HWND Dialog()
{
    HWND dialog = FindDialog();
    if (!dialog)
        Fail(2, L"error no dialog");
    return dialog;
}

static unsigned long Number(const wchar_t *text)
{
    wchar_t *end;
    unsigned long value = wcstoul(text, &end, 0);
    if (*text == L'\0' || *end != L'\0')
        Fail(2, Format(L"error not a number: %ls", text));
    return value;
}

static INT_PTR CALLBACK IgnoreMessages(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

// The pixel size of a 4x8 dialog-unit rectangle in the dialog. MapDialogRect
// does not work on a dialog of another process, so this builds a hidden copy
// of the dialog from the program's own template (FindResource picks the
// language as the program's DialogBox does: both run with the same locale)
// and maps the rectangle on the copy. The copy is a
// message-only window, so that no one can take it for the dialog.
static POINT DialogBase(HWND dialog)
{
    POINT base = {0, 0};
    DWORD processId;
    GetWindowThreadProcessId(dialog, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    BOOL named = process && QueryFullProcessImageNameW(process, 0, path, &size);
    if (process)
        CloseHandle(process);
    HMODULE program = named ? LoadLibraryExW(path, NULL, LOAD_LIBRARY_AS_DATAFILE) : NULL;
    HRSRC resource = program ? FindResourceW(program, MAKEINTRESOURCEW(DIALOG_TEMPLATE), (LPCWSTR)RT_DIALOG) : NULL;
    if (!resource)
        Fail(2, L"error cannot read the dialog template of the program");

    // A DIALOG template starts with its style.
    BYTE *data = (BYTE *)LockResource(LoadResource(program, resource));
    std::vector<BYTE> copy(data, data + SizeofResource(program, resource));
    *(DWORD *)&copy[0] &= ~WS_VISIBLE;
    HWND hidden = CreateDialogIndirectParamW(GetModuleHandleW(NULL), (DLGTEMPLATE *)&copy[0], HWND_MESSAGE,
                                             IgnoreMessages, 0);
    RECT rect = {0, 0, 4, 8};
    if (!hidden || !MapDialogRect(hidden, &rect))
        Fail(2, L"error cannot map dialog units");
    DestroyWindow(hidden);
    FreeLibrary(program);
    base.x = rect.right;
    base.y = rect.bottom;
    return base;
}

static void Dump()
{
    HWND dialog = Dialog();
    POINT base = DialogBase(dialog);
    RECT frame;
    GetWindowRect(dialog, &frame);
    WriteLine(L"dialog caption=" + Quote(WindowText(dialog)) +
              Format(L" style=0x%08lX exstyle=0x%08lX class=", GetWindowLongW(dialog, GWL_STYLE),
                     GetWindowLongW(dialog, GWL_EXSTYLE)) +
              ClassOf(dialog) +
              Format(L" base=%ld,%ld x=%ld y=%ld w=%ld h=%ld", base.x, base.y, frame.left, frame.top,
                     frame.right - frame.left, frame.bottom - frame.top));

    int index = 0;
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT), index++) {
        RECT rect;
        GetWindowRect(child, &rect);
        MapWindowPoints(NULL, dialog, (POINT *)&rect, 2);
        WriteLine(Format(L"control index=%d id=%d class=", index, GetDlgCtrlID(child)) + ClassOf(child) +
                  Format(L" style=0x%08lX x=%ld y=%ld w=%ld h=%ld visible=%d text=", GetWindowLongW(child, GWL_STYLE),
                         rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                         IsWindowVisible(child) ? 1 : 0) +
                  Quote(WindowText(child)));
    }

    GUITHREADINFO info;
    ZeroMemory(&info, sizeof info);
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, NULL), &info);
    if (info.hwndFocus)
        WriteLine(Format(L"focus id=%d", GetDlgCtrlID(info.hwndFocus)));
    else
        WriteLine(L"focus none");
}

static void WaitText(const wchar_t *idText, const wchar_t *expected)
{
    int id = (int)Number(idText);
    std::wstring text;
    bool found = WaitFor(waitLimitMs, [&] {
        HWND control = GetDlgItem(FindDialog(), id);
        text = control ? WindowText(control) : L"";
        return control && text == expected;
    });
    if (!found)
        Fail(1, Format(L"timeout wait-text id=%d ", id) + Quote(text));
    WriteLine(Format(L"text id=%d ", id) + Quote(text));
}

// Returns once the dialog's thread has handled what was queued for it, so
// that a dump right after an action sees its effect. A sent message is taken
// at the thread's next message retrieval, before posted and input messages;
// three round trips cover a posted message or a key press and release.
static void Settle()
{
    HWND dialog = FindDialog();
    DWORD_PTR result;
    for (int round = 0; round < 3 && dialog; round++) {
        if (!SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_NORMAL, SEND_TIMEOUT_MS, &result))
            return;
    }
}

static void Key(const wchar_t *name)
{
    WORD key = wcscmp(name, L"escape") == 0 ? VK_ESCAPE
             : wcscmp(name, L"enter") == 0  ? VK_RETURN
             : wcscmp(name, L"tab") == 0    ? VK_TAB
                                            : 0;
    if (!key)
        Fail(2, Format(L"error unknown key: %ls", name));
    HWND dialog = Dialog();
    SetForegroundWindow(dialog);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = key;
    input[0].ki.wScan = input[1].ki.wScan = (WORD)MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof input[0]);
}

// Waits for the desktop too: it may not exist yet when the program was just
// started in it.
static void UseDesktop(const wchar_t *name)
{
    DWORD start = GetTickCount();
    HDESK desktop;
    while (!(desktop = OpenDesktopW(name, 0, FALSE, GENERIC_ALL))) {
        if (GetTickCount() - start >= waitLimitMs)
            Fail(1, Format(L"timeout desktop %ls", name));
        Sleep(POLL_INTERVAL_MS);
    }
    if (!SetThreadDesktop(desktop))
        Fail(2, Format(L"error cannot use desktop %ls", name));
}

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *desktopName = NULL;
    int i = 1;
    for (; i < argc && wcsncmp(argv[i], L"--", 2) == 0; i++) {
        if (wcscmp(argv[i], L"--keep-boxes") == 0) {
            keepBoxes = true;
        } else if (wcscmp(argv[i], L"--timeout") == 0 && i + 1 < argc) {
            waitLimitMs = Number(argv[++i]);
        } else if (wcscmp(argv[i], L"--desktop") == 0 && i + 1 < argc) {
            desktopName = argv[++i];
        } else {
            Fail(2, Format(L"error unknown option %ls", argv[i]));
        }
    }
    if (desktopName)
        UseDesktop(desktopName);

    for (; i < argc; i++) {
        std::wstring command = argv[i];
        int left = argc - i - 1;
        if (command == L"wait-dialog") {
            if (!WaitFor(waitLimitMs, [] {
                    HWND dialog = FindDialog();
                    return dialog && IsWindowVisible(dialog);
                }))
                Fail(1, L"timeout wait-dialog");
            WriteLine(L"dialog visible");
        } else if (command == L"dump") {
            Dump();
        } else if (command == L"wait-text" && left >= 2) {
            WaitText(argv[i + 1], argv[i + 2]);
            i += 2;
        } else if (command == L"key" && left >= 1) {
            Key(argv[++i]);
            Settle();
        } else if (command == L"click" && left >= 1) {
            int id = (int)Number(argv[++i]);
            HWND button = GetDlgItem(Dialog(), id);
            if (!button)
                Fail(2, Format(L"error no control %d", id));
            PostMessageW(button, BM_CLICK, 0, 0);
            Settle();
        } else if (command == L"close-box") {
            PostMessageW(Dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
            Settle();
        } else if (command == L"command" && left >= 1) {
            PostMessageW(Dialog(), WM_COMMAND, Number(argv[++i]), 0);
            Settle();
        } else if (command == L"post" && left >= 3) {
            PostMessageW(Dialog(), Number(argv[i + 1]), Number(argv[i + 2]), Number(argv[i + 3]));
            Settle();
            i += 3;
        } else if (command == L"wait-gone") {
            if (!WaitFor(waitLimitMs, [] { return FindDialog() == NULL; }))
                Fail(1, L"timeout wait-gone");
            WriteLine(L"gone");
        } else if (command == L"boxes") {
            for (HWND box : OpenBoxes()) {
                seenBoxes.push_back(box);
                ReportBox(box);
            }
        } else if (command == L"sleep" && left >= 1) {
            WaitFor(Number(argv[++i]), [] { return false; });
        } else {
            Fail(2, L"error unknown command or missing argument: " + command);
        }
    }
    return 0;
}
