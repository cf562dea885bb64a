// WinTab32 Info: shows whether a tablet driver answers and what it reports.
#include <windows.h>

#include "fieldtext.h"
#include "resource.h"
#include "wintab32.h"

#define TEXT_BUFFER_SIZE 2048

// The instance is kept as the program's own; nothing reads it after start-up.
static HINSTANCE programInstance;
static HCTX openContext; // 0 while no tablet context is open

// Asks the driver for an answer of at most `size` bytes. The driver is given
// no size, so it is first asked how long its answer is (a null output asks
// just that), and an answer that is empty or would not fit is not fetched:
// the output keeps what it held, and the length is returned all the same.
static UINT QueryDriver(UINT category, UINT index, void *output, UINT size)
{
    UINT length = WTInfoA(category, index, NULL);
    if (length == 0 || length > size)
        return length;
    return WTInfoA(category, index, output);
}

// A text answer into the text buffer (TEXT_BUFFER_SIZE bytes), whose last
// byte is kept NUL so that even an unterminated answer ends inside it.
static UINT QueryDriverText(UINT category, UINT index, char *text)
{
    UINT length = QueryDriver(category, index, text, TEXT_BUFFER_SIZE);
    text[TEXT_BUFFER_SIZE - 1] = '\0';
    return length;
}

// The version word is a 16-bit answer; the wider variable also takes a 32-bit
// answer, whose low word is read. It is not reset between the two queries.
static void ShowVersion(HWND dialog, UINT index, int field, const char *warning,
                        DWORD *version, char *text)
{
    if (QueryDriver(WTI_INTERFACE, index, version, sizeof *version) != 2)
        MessageBoxA(dialog, warning, "", MB_OK);
    FormatVersionText((uint16_t)*version, text);
    SetDlgItemTextA(dialog, field, text);
}

// Leaves the field empty for a unit other than inches and centimetres.
static void ShowMillimetres(HWND dialog, int field, UINT extent, UINT unitCode, char *text)
{
    float size;
    if (!MillimetreSize((int32_t)extent, unitCode, &size))
        return;
    FormatMillimetreText(size, text);
    SetDlgItemTextA(dialog, field, text);
}

static void ShowVersionsAndSize(HWND dialog, char *text)
{
    DWORD version = 0;
    ShowVersion(dialog, IFC_SPECVERSION, IDC_SPEC_VERSION, "Achtung: SPEC", &version, text);
    ShowVersion(dialog, IFC_IMPLVERSION, IDC_IMPL_VERSION, "Achtung: IMPL", &version, text);

    AXIS x = {};
    AXIS y = {};
    QueryDriver(WTI_DEVICES, DVC_X, &x, sizeof x);
    QueryDriver(WTI_DEVICES, DVC_Y, &y, sizeof y);

    // Unsigned, so that a maximum below the minimum wraps instead of overflowing.
    UINT extentX = (UINT)x.axMax - (UINT)x.axMin;
    UINT extentY = (UINT)y.axMax - (UINT)y.axMin;
    SetDlgItemInt(dialog, IDC_EXTENT_X, extentX, FALSE);
    SetDlgItemInt(dialog, IDC_EXTENT_Y, extentY, FALSE);

    // The unit of the X axis decides for both; the Y unit is not read.
    ShowMillimetres(dialog, IDC_SIZE_X_MM, extentX, x.axUnits, text);
    ShowMillimetres(dialog, IDC_SIZE_Y_MM, extentY, x.axUnits, text);
}

// The driver's default context, changed to post packet messages with
// absolute position and button state to this program's window.
static void SetupTabletContext(LOGCONTEXTA *context)
{
    // Zeroed first: a driver without a default context must not be handed
    // stack contents.
    ZeroMemory(context, sizeof *context);
    QueryDriver(WTI_DEFCONTEXT, 0, context, sizeof *context);
    context->lcOptions = CXO_MESSAGES;
    context->lcStatus = CXS_ONTOP;
    context->lcMsgBase = WT_DEFBASE;
    context->lcDevice = 0;
    context->lcPktData = PK_STATUS | PK_CHANGED | PK_BUTTONS | PK_X | PK_Y;
    context->lcPktMode = 0;
    context->lcMoveMask = PK_X | PK_Y;
    context->lcBtnDnMask = 0xFFFFFFFF;
    context->lcBtnUpMask = 0xFFFFFFFF;
    context->lcSysMode = FALSE;
}

static void OpenTabletContext(HWND dialog)
{
    LOGCONTEXTA context;
    SetupTabletContext(&context);
    openContext = WTOpenA(dialog, &context, TRUE);
}

static void ShowPacket(HWND dialog, WPARAM serial, LPARAM context)
{
    // Room for a packet of every field, should a driver ignore the fields
    // this context asked for; only the first 20 bytes are read. Zeroed, so
    // that a driver writing less shows zeros rather than stack contents.
    union {
        TabletPacket fields;
        BYTE room[128];
    } packet = {};
    // A packet that has left the driver's queue keeps the values shown.
    if (!WTPacket((HCTX)context, (UINT)serial, &packet))
        return;
    SetDlgItemInt(dialog, IDC_PEN_X, (UINT)packet.fields.pkX, FALSE);
    SetDlgItemInt(dialog, IDC_PEN_Y, (UINT)packet.fields.pkY, FALSE);
    SetDlgItemInt(dialog, IDC_PEN_BUTTONS, packet.fields.pkButtons, FALSE);
}

static void CloseTabletContext(HWND dialog)
{
    if (openContext == 0)
        return;
    if (!WTClose(openContext)) {
        // "ß" is 0xDF in the ANSI code page; the literal is split so that the
        // following "en" is not read as part of the hex escape.
        MessageBoxA(dialog, "Fehler beim Schlie\xDF" "en!", "WinTab32", MB_OK);
    }
    ReleaseTabletDriver();
}

static void InitDialog(HWND dialog)
{
    // Shared in turn by every field text; zeroed so that an answer that
    // writes nothing shows nothing.
    char text[TEXT_BUFFER_SIZE] = "";

    if (QueryDriverText(WTI_INTERFACE, IFC_WINTABID, text) != 0) {
        SetDlgItemTextA(dialog, IDC_WINTAB_ID, text);
        QueryDriverText(WTI_DEVICES, DVC_NAME, text);
        SetDlgItemTextA(dialog, IDC_DEVICE_NAME, text);
        ShowVersionsAndSize(dialog, text);
    } else {
        GetDlgItemTextA(dialog, IDC_NO_DRIVER_TEXT, text, TEXT_BUFFER_SIZE - 1);
        SetDlgItemTextA(dialog, IDC_WINTAB_ID, text);
    }
    OpenTabletContext(dialog);
}

static INT_PTR CALLBACK InfoDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitDialog(dialog);
        return -1; // focus to the first tab stop, the OK button
    case WM_COMMAND:
        // Whole-value compare: a notification code in the high word is ignored.
        if (wParam != IDOK && wParam != IDCANCEL)
            return 0;
        CloseTabletContext(dialog);
        EndDialog(dialog, 0);
        return 1;
    case WT_PACKET:
        ShowPacket(dialog, wParam, lParam);
        return 1;
    }
    return 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    // Only checked for; nothing of the library is used.
    if (LoadLibraryA("COMCTL32.DLL") == NULL)
        MessageBoxA(NULL, "COMCTL32.DLL nicht geladen!!!", "KOLDAN - Install", MB_ICONWARNING);

    programInstance = instance;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_TABLET_INFO), NULL, InfoDlgProc, 0);
    return 0;
}
