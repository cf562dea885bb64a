// Tablet driver interface: the records and constants this program uses, and
// the four driver functions, bound from "Wintab32" at run time.
#ifndef TABTEST_WINTAB32_H
#define TABTEST_WINTAB32_H

#include <windows.h>
#include <stddef.h>

DECLARE_HANDLE(HCTX);

typedef DWORD FIX32; // 16.16 fixed point

// Information categories and indices
#define WTI_INTERFACE    1
#define IFC_WINTABID     1
#define IFC_SPECVERSION  2
#define IFC_IMPLVERSION  3
#define WTI_DEFCONTEXT   3
#define WTI_DEVICES      100
#define DVC_NAME         1
#define DVC_X            12
#define DVC_Y            13

// Context options, status and message base
#define CXO_MESSAGES     0x0004
#define CXS_ONTOP        0x0004
#define WT_DEFBASE       0x7FF0
#define WT_PACKET        (WT_DEFBASE + 0)

// Axis units
#define TU_INCHES        1
#define TU_CENTIMETERS   2

// Packet fields
#define PK_STATUS        0x0002
#define PK_CHANGED       0x0008
#define PK_BUTTONS       0x0040
#define PK_X             0x0080
#define PK_Y             0x0100

#define LCNAMELEN        40

typedef struct tagAXIS {
    LONG  axMin;
    LONG  axMax;
    UINT  axUnits;
    FIX32 axResolution;
} AXIS;

typedef struct tagLOGCONTEXTA {
    char  lcName[LCNAMELEN];
    UINT  lcOptions;
    UINT  lcStatus;
    UINT  lcLocks;
    UINT  lcMsgBase;
    UINT  lcDevice;
    UINT  lcPktRate;
    DWORD lcPktData;
    DWORD lcPktMode;
    DWORD lcMoveMask;
    DWORD lcBtnDnMask;
    DWORD lcBtnUpMask;
    LONG  lcInOrgX;
    LONG  lcInOrgY;
    LONG  lcInOrgZ;
    LONG  lcInExtX;
    LONG  lcInExtY;
    LONG  lcInExtZ;
    LONG  lcOutOrgX;
    LONG  lcOutOrgY;
    LONG  lcOutOrgZ;
    LONG  lcOutExtX;
    LONG  lcOutExtY;
    LONG  lcOutExtZ;
    FIX32 lcSensX;
    FIX32 lcSensY;
    FIX32 lcSensZ;
    BOOL  lcSysMode;
    int   lcSysOrgX;
    int   lcSysOrgY;
    int   lcSysExtX;
    int   lcSysExtY;
    FIX32 lcSysSensX;
    FIX32 lcSysSensY;
} LOGCONTEXTA;

// The packet record of this program's context: the fields selected by
// PK_STATUS | PK_CHANGED | PK_BUTTONS | PK_X | PK_Y, in the order of their bits.
typedef struct tagTabletPacket {
    DWORD pkStatus;
    DWORD pkChanged;
    DWORD pkButtons;
    LONG  pkX;
    LONG  pkY;
} TabletPacket;

// Layout checks: a wrong record size would let the driver write past it.
static_assert(sizeof(AXIS) == 16, "AXIS layout");
static_assert(sizeof(LOGCONTEXTA) == 172, "LOGCONTEXTA layout");
static_assert(offsetof(LOGCONTEXTA, lcOptions) == 40, "LOGCONTEXTA layout");
static_assert(offsetof(LOGCONTEXTA, lcInOrgX) == 84, "LOGCONTEXTA layout");
static_assert(offsetof(LOGCONTEXTA, lcSysMode) == 144, "LOGCONTEXTA layout");
static_assert(offsetof(LOGCONTEXTA, lcSysSensY) == 168, "LOGCONTEXTA layout");
static_assert(sizeof(TabletPacket) == 20, "packet layout");

// The driver functions, with the driver's own names and arguments. Each binds
// its driver function on first use and answers 0 while that is not possible.
UINT WINAPI WTInfoA(UINT category, UINT index, LPVOID output);
HCTX WINAPI WTOpenA(HWND owner, LOGCONTEXTA *context, BOOL enable);
BOOL WINAPI WTClose(HCTX context);
BOOL WINAPI WTPacket(HCTX context, UINT serial, LPVOID packet);

// One bound driver function. Records holding an address are chained, most
// recently resolved first, so that a release can forget them all.
typedef struct TabletEntry {
    const char *name;
    UINT ordinal; // 0: bind by name instead
    FARPROC address;
    struct TabletEntry *next;
} TabletEntry;

void ResolveTabletEntry(TabletEntry *entry);
void ReleaseTabletDriver(void);

#endif
