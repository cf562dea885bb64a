// Run-time binding of the tablet driver, so that the program also starts
// where no driver is installed. Functions are bound by export ordinal.
#include "wintab32.h"

typedef UINT (WINAPI *WTInfoAProc)(UINT, UINT, LPVOID);
typedef HCTX (WINAPI *WTOpenAProc)(HWND, LOGCONTEXTA *, BOOL);
typedef BOOL (WINAPI *WTCloseProc)(HCTX);
typedef BOOL (WINAPI *WTPacketProc)(HCTX, UINT, LPVOID);

static HMODULE tabletLibrary;
static TabletEntry *resolvedEntries;

static TabletEntry infoEntry = { "WTInfoA", 20, NULL, NULL };
static TabletEntry openEntry = { "WTOpenA", 21, NULL, NULL };
static TabletEntry closeEntry = { "WTClose", 22, NULL, NULL };
static TabletEntry packetEntry = { "WTPacket", 24, NULL, NULL };

void ResolveTabletEntry(TabletEntry *entry)
{
    if (tabletLibrary == NULL)
        tabletLibrary = LoadLibraryA("Wintab32");
    if (tabletLibrary == NULL)
        return;

    if (entry->ordinal != 0)
        entry->address = GetProcAddress(tabletLibrary, MAKEINTRESOURCEA(entry->ordinal));
    else
        entry->address = GetProcAddress(tabletLibrary, entry->name);

    if (entry->address != NULL) {
        entry->next = resolvedEntries;
        resolvedEntries = entry;
    }
}

// Binds the entry if it is not yet bound; false while the driver lacks it.
static bool IsBound(TabletEntry *entry)
{
    if (entry->address == NULL)
        ResolveTabletEntry(entry);
    return entry->address != NULL;
}

UINT WINAPI WTInfoA(UINT category, UINT index, LPVOID output)
{
    if (!IsBound(&infoEntry))
        return 0;
    return ((WTInfoAProc)infoEntry.address)(category, index, output);
}

HCTX WINAPI WTOpenA(HWND owner, LOGCONTEXTA *context, BOOL enable)
{
    if (!IsBound(&openEntry))
        return 0;
    return ((WTOpenAProc)openEntry.address)(owner, context, enable);
}

BOOL WINAPI WTClose(HCTX context)
{
    if (!IsBound(&closeEntry))
        return FALSE;
    return ((WTCloseProc)closeEntry.address)(context);
}

BOOL WINAPI WTPacket(HCTX context, UINT serial, LPVOID packet)
{
    if (!IsBound(&packetEntry))
        return FALSE;
    return ((WTPacketProc)packetEntry.address)(context, serial, packet);
}

void ReleaseTabletDriver(void)
{
    if (tabletLibrary == NULL)
        return;
    FreeLibrary(tabletLibrary);
    tabletLibrary = NULL;

    while (resolvedEntries != NULL) {
        TabletEntry *entry = resolvedEntries;
        resolvedEntries = entry->next;
        entry->address = NULL;
        entry->next = NULL;
    }
}
