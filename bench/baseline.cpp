// Baseline for the benchmarks: the floor of tabtest's work and nothing more.
// The same dialog template, the same library loads at start-up (the common
// controls, the tablet driver bound by export ordinal), a tablet context
// opened as tabtest opens it, and per packet one WTPacket and three
// SetDlgItemInt. Its one text says which program this is.
#include <windows.h>

#include "resource.h"
#include "wintab32.h"

typedef UINT (WINAPI *InfoProc)(UINT, UINT, LPVOID);
typedef HCTX (WINAPI *OpenProc)(HWND, LOGCONTEXTA *, BOOL);
typedef BOOL (WINAPI *CloseProc)(HCTX);
typedef BOOL (WINAPI *PacketProc)(HCTX, UINT, LPVOID);

static HMODULE tabletLibrary;
static CloseProc closeContext;
static PacketProc readPacket;
static HCTX openContext;

// Binds the driver and opens a context with tabtest's settings.
static void OpenContext(HWND dialog)
{
    tabletLibrary = LoadLibraryA("Wintab32");
    if (tabletLibrary == NULL)
        return;
    InfoProc info = (InfoProc)GetProcAddress(tabletLibrary, MAKEINTRESOURCEA(20));
    OpenProc open = (OpenProc)GetProcAddress(tabletLibrary, MAKEINTRESOURCEA(21));
    closeContext = (CloseProc)GetProcAddress(tabletLibrary, MAKEINTRESOURCEA(22));
    readPacket = (PacketProc)GetProcAddress(tabletLibrary, MAKEINTRESOURCEA(24));
    if (info == NULL || open == NULL || closeContext == NULL || readPacket == NULL)
        return;

    LOGCONTEXTA context;
    ZeroMemory(&context, sizeof context);
    info(WTI_DEFCONTEXT, 0, &context);
    context.lcOptions = CXO_MESSAGES;
    context.lcStatus = CXS_ONTOP;
    context.lcMsgBase = WT_DEFBASE;
    context.lcDevice = 0;
    context.lcPktData = PK_STATUS | PK_CHANGED | PK_BUTTONS | PK_X | PK_Y;
    context.lcPktMode = 0;
    context.lcMoveMask = PK_X | PK_Y;
    context.lcBtnDnMask = 0xFFFFFFFF;
    context.lcBtnUpMask = 0xFFFFFFFF;
    context.lcSysMode = FALSE;
    openContext = open(dialog, &context, TRUE);
}

static void CloseContext(void)
{
    if (openContext != 0)
        closeContext(openContext);
    if (tabletLibrary != NULL)
        FreeLibrary(tabletLibrary);
}

static void ShowPacket(HWND dialog, WPARAM serial, LPARAM context)
{
    TabletPacket packet;
    if (!readPacket((HCTX)context, (UINT)serial, &packet))
        return;
    SetDlgItemInt(dialog, IDC_PEN_X, (UINT)packet.pkX, FALSE);
    SetDlgItemInt(dialog, IDC_PEN_Y, (UINT)packet.pkY, FALSE);
    SetDlgItemInt(dialog, IDC_PEN_BUTTONS, packet.pkButtons, FALSE);
}

static INT_PTR CALLBACK BaselineDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        // Under Wine, edit controls share the font data of their text layout
        // only while one of them holds a layout, and tabtest's information
        // fields always hold one. Without a text here, each pen field update
        // during a flood of packets would rebuild that data (about half as
        // much time again per packet), and the baseline would be no floor.
        SetDlgItemTextA(dialog, IDC_WINTAB_ID, "Baseline");
        OpenContext(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) != IDOK && LOWORD(wParam) != IDCANCEL)
            return FALSE;
        CloseContext();
        EndDialog(dialog, 0);
        return TRUE;
    case WT_PACKET:
        ShowPacket(dialog, wParam, lParam);
        return TRUE;
    }
    return FALSE;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    LoadLibraryA("COMCTL32.DLL");
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TABLET_INFO), NULL, BaselineDlgProc, 0);
    return 0;
}
