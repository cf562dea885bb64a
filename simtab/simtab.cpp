// simtab: a simulated tablet driver. It answers the driver functions the way
// a vendor's Wintab32.dll does, from a built-in tablet that a scenario file
// changes, plays a pen script on a driver thread and logs every call.
// The contract (environment, scenario directives, log lines) is README.md.

// C99 printf formats (%llu) on every Windows version, not only where the
// system's msvcrt happens to know them.
#define __USE_MINGW_ANSI_STDIO 1

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// The exports take exactly the records and prototypes the program calls them
// with. C linkage gives them the plain stdcall names the .def files export.
extern "C" {
#include "wintab32.h"
}

// Packet fields the program's header does not name, in bit order.
#define PK_CONTEXT          0x0001
#define PK_TIME             0x0004
#define PK_SERIAL_NUMBER    0x0010
#define PK_CURSOR           0x0020
#define PK_Z                0x0200
#define PK_NORMAL_PRESSURE  0x0400
#define PK_TANGENT_PRESSURE 0x0800
#define PK_ORIENTATION      0x1000
#define PK_ROTATION         0x2000

#define MAX_CONTEXTS  16
#define MAX_ANSWERS   256
#define FIRST_HANDLE  0x5301
#define OTHER_HANDLE  0x5399   // the driver's own second context
#define LOG_LINE_SIZE 2048

// One packet as the driver keeps it; WritePacket lays it out per lcPktData.
// The script drives position and buttons; the other fields stay zero.
typedef struct SimPacket {
    HCTX  context;
    DWORD status;
    DWORD time;
    DWORD changed;
    DWORD serial;
    DWORD cursor;
    DWORD buttons;
    LONG  x;
    LONG  y;
    LONG  z;
    DWORD normalPressure;
    DWORD tangentPressure;
    LONG  orientation[3];
    LONG  rotation[3];
} SimPacket;

// An open context. handle 0 marks a free slot.
typedef struct SimContext {
    HCTX        handle;
    HWND        owner;
    LOGCONTEXTA record;     // as the caller gave it
    SimPacket  *queue;      // ring of queueLength packets
    UINT        first;
    UINT        count;
    UINT        nextSerial;
    SimPacket   last;       // the previous packet, for pkChanged
} SimContext;

// What WTInfoA answers for one category and index. No data: answers 0.
typedef struct InfoAnswer {
    UINT        category;
    UINT        index;
    const BYTE *data;
    UINT        size;
    BOOL        fixedResult;    // `result`: reported instead of size
    UINT        result;
    BOOL        noWrite;        // `nowrite`
    BOOL        fixedSizeQuery; // `sizequery`: the null-buffer answer
    UINT        sizeQuery;
} InfoAnswer;

enum StepKind {
    STEP_PEN, STEP_BUTTONS, STEP_WAIT, STEP_WAITFILE, STEP_FLOOD, STEP_RATE,
    STEP_POST, STEP_POST_OPEN, STEP_OTHER, STEP_DONE
};

typedef struct Step {
    StepKind    kind;
    LONG        value[3];
    const char *path;   // waitfile
} Step;

// Default context: every field recognisable, the extents those of the axes
// below (X 0..15200, Y 0..9500, Z 0..1023).
static LOGCONTEXTA defaultContext = {
    "SimTab Default Context",
    0x0201,             // lcOptions
    0x0001,             // lcStatus
    0x0003,             // lcLocks
    WT_DEFBASE,         // lcMsgBase
    0,                  // lcDevice: the only device
    100,                // lcPktRate
    0x1FFF,             // lcPktData
    0x0400,             // lcPktMode
    0x1FFF,             // lcMoveMask
    0xFFFF,             // lcBtnDnMask
    0xFFFF,             // lcBtnUpMask
    0, 0, 0,            // lcInOrgX, Y, Z
    15201, 9501, 1024,  // lcInExtX, Y, Z
    0, 0, 0,            // lcOutOrgX, Y, Z
    15201, 9501, 1024,  // lcOutExtX, Y, Z
    0x10000, 0x10000, 0x10000, // lcSensX, Y, Z
    FALSE,              // lcSysMode
    0, 0, 1024, 768,    // lcSysOrgX, Y, lcSysExtX, Y
    0x10000, 0x10000    // lcSysSensX, Y
};

static const char driverName[] = "SimTab Wintab driver 1.4 (simulated)";
static const char deviceName[] = "SimTab SP-608 (simulated)";
static const WORD interfaceVersion = 0x0101;
static const WORD driverVersion = 0x0104;
static const AXIS axisX = { 0, 15200, TU_CENTIMETERS, 1000 << 16 };
static const AXIS axisY = { 0, 9500, TU_CENTIMETERS, 1000 << 16 };

// The numeric context fields by name, for `context FIELD VALUE` and the log.
typedef struct ContextField {
    const char *name;
    UINT        offset;
    BOOL        isSigned;
} ContextField;

#define FIELD(name, isSigned) { #name, FIELD_OFFSET(LOGCONTEXTA, name), isSigned }
static const ContextField contextFields[] = {
    FIELD(lcOptions, FALSE), FIELD(lcStatus, FALSE), FIELD(lcLocks, FALSE),
    FIELD(lcMsgBase, FALSE), FIELD(lcDevice, FALSE), FIELD(lcPktRate, FALSE),
    FIELD(lcPktData, FALSE), FIELD(lcPktMode, FALSE), FIELD(lcMoveMask, FALSE),
    FIELD(lcBtnDnMask, FALSE), FIELD(lcBtnUpMask, FALSE),
    FIELD(lcInOrgX, TRUE), FIELD(lcInOrgY, TRUE), FIELD(lcInOrgZ, TRUE),
    FIELD(lcInExtX, TRUE), FIELD(lcInExtY, TRUE), FIELD(lcInExtZ, TRUE),
    FIELD(lcOutOrgX, TRUE), FIELD(lcOutOrgY, TRUE), FIELD(lcOutOrgZ, TRUE),
    FIELD(lcOutExtX, TRUE), FIELD(lcOutExtY, TRUE), FIELD(lcOutExtZ, TRUE),
    FIELD(lcSensX, FALSE), FIELD(lcSensY, FALSE), FIELD(lcSensZ, FALSE),
    FIELD(lcSysMode, TRUE),
    FIELD(lcSysOrgX, TRUE), FIELD(lcSysOrgY, TRUE),
    FIELD(lcSysExtX, TRUE), FIELD(lcSysExtY, TRUE),
    FIELD(lcSysSensX, FALSE), FIELD(lcSysSensY, FALSE)
};
#define CONTEXT_FIELD_COUNT (sizeof contextFields / sizeof contextFields[0])

// Scenario, read once at attach and fixed after that.
static InfoAnswer answers[MAX_ANSWERS];
static UINT answerCount;
static Step *steps;
static UINT stepCount;
static UINT queueLength = 128;
static BOOL openFails, closeFails, packetFails, loadFails;
static BOOL packetAlwaysTrue;     // `packet true`
static BOOL logCalls = TRUE;
static char scenarioFolder[MAX_PATH];  // with its final separator

// Everything the scenario and the queues allocate comes from this heap, so
// that unloading frees it in one call.
static HANDLE driverHeap;
static HANDLE logFile = INVALID_HANDLE_VALUE;
static CRITICAL_SECTION logLock;
static BOOL processExiting;
static LARGE_INTEGER attachTime, counterFrequency;
static BOOL attached;

// The lock guards the contexts, their queues and the script's bookkeeping;
// the caller's thread and the script thread both use them.
static CRITICAL_SECTION driverLock;
static SimContext contexts[MAX_CONTEXTS];
static SimContext otherContext;
static UINT nextHandle = FIRST_HANDLE;
static SimContext *scriptContext;  // the context the pen script drives
static HANDLE scriptThread;
static HANDLE stopEvent;           // wakes the script's waits at WTClose
static volatile LONG stopRequested;

// The pen, used by the script thread only.
static LONG penX, penY;
static DWORD penButtons;

static volatile LONG postedCount, readCount, droppedCount;
// When the first message was posted and the last packet read, for the
// stats line with `log off` (benchmarks).
static ULONGLONG firstPostTime, lastReadTime;

// ---------------------------------------------------------------- log

static ULONGLONG Microseconds(void)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (ULONGLONG)(now.QuadPart - attachTime.QuadPart) * 1000000
           / (ULONGLONG)counterFrequency.QuadPart;
}

// One line per write, so that a reader sees each line whole at once. The
// script thread and the caller write under a lock: Wine appends by seeking
// to the end and writing, and two threads at once overwrite each other's
// lines. At process exit the other threads are gone, possibly inside the
// lock, and only the exiting thread writes.
static void WriteLogLine(const char *format, va_list args)
{
    char line[LOG_LINE_SIZE];
    DWORD written;
    if (logFile == INVALID_HANDLE_VALUE)
        return;
    int length = vsnprintf(line, sizeof line - 1, format, args);
    if (length < 0 || length > (int)sizeof line - 2)
        length = sizeof line - 2;
    line[length++] = '\n';
    if (!processExiting)
        EnterCriticalSection(&logLock);
    WriteFile(logFile, line, length, &written, NULL);
    if (!processExiting)
        LeaveCriticalSection(&logLock);
}

// Lines that stay with `log off`.
static void Log(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    WriteLogLine(format, args);
    va_end(args);
}

// Lines of calls and packets, left out with `log off`.
static void LogEvent(const char *format, ...)
{
    va_list args;
    if (!logCalls)
        return;
    va_start(args, format);
    WriteLogLine(format, args);
    va_end(args);
}

// With `log off` the post and WTPacket lines are left out, so the line also
// tells the times of the first post and the last packet read.
static void LogStats(void)
{
    if (logCalls)
        Log("stats posted=%ld read=%ld dropped=%ld", postedCount, readCount, droppedCount);
    else
        Log("stats posted=%ld read=%ld dropped=%ld first-post=%llu last-read=%llu",
            postedCount, readCount, droppedCount, firstPostTime, lastReadTime);
}

// Appends text (up to its NUL or count chars) in quotes: the quote and the
// backslash behind a backslash, other than printable ASCII as \xHH. Answers
// the new length; the line has room for four times count plus the quotes.
static int AppendQuoted(char *line, int length, const char *text, size_t count)
{
    line[length++] = '"';
    for (size_t i = 0; i < count && text[i] != '\0'; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == '"' || c == '\\')
            length += sprintf(line + length, "\\%c", c);
        else if (c < 0x20 || c >= 0x7F)
            length += sprintf(line + length, "\\x%02X", c);
        else
            line[length++] = (char)c;
    }
    line[length++] = '"';
    line[length] = '\0';
    return length;
}

// The record as one line: the name quoted, then every field by name.
static void LogContext(const LOGCONTEXTA *context)
{
    char line[LOG_LINE_SIZE];
    int length = AppendQuoted(line, sprintf(line, "context lcName="), context->lcName, LCNAMELEN);
    for (UINT i = 0; i < CONTEXT_FIELD_COUNT; i++) {
        DWORD value;
        memcpy(&value, (const BYTE *)context + contextFields[i].offset, sizeof value);
        if (contextFields[i].isSigned)
            length += snprintf(line + length, sizeof line - length, " %s=%ld",
                               contextFields[i].name, (LONG)value);
        else
            length += snprintf(line + length, sizeof line - length, " %s=0x%lX",
                               contextFields[i].name, value);
    }
    LogEvent("%s", line);
}

// A scenario line that was left out, or the scenario file itself (line 0).
static void LogScenarioError(UINT lineNumber, const char *text)
{
    char line[LOG_LINE_SIZE];
    int length = sprintf(line, "scenario error line=%u ", lineNumber);
    AppendQuoted(line, length, text, (sizeof line - length - 3) / 4);
    Log("%s", line);
}

// ---------------------------------------------------------------- scenario

static InfoAnswer *FindAnswer(UINT category, UINT index)
{
    for (UINT i = 0; i < answerCount; i++)
        if (answers[i].category == category && answers[i].index == index)
            return &answers[i];
    return NULL;
}

// The answer for category and index, a new one that answers 0 if there is
// none yet; NULL when the table is full.
static InfoAnswer *AnswerFor(UINT category, UINT index)
{
    InfoAnswer *answer = FindAnswer(category, index);
    if (answer != NULL || answerCount == MAX_ANSWERS)
        return answer;
    answer = &answers[answerCount++];
    answer->category = category;
    answer->index = index;
    return answer;
}

static void SetAnswer(UINT category, UINT index, const void *data, UINT size)
{
    InfoAnswer *answer = AnswerFor(category, index);
    answer->data = (const BYTE *)data;
    answer->size = size;
}

static void SetBuiltInAnswers(void)
{
    SetAnswer(WTI_INTERFACE, IFC_WINTABID, driverName, sizeof driverName);
    SetAnswer(WTI_INTERFACE, 2, &interfaceVersion, sizeof interfaceVersion);
    SetAnswer(WTI_INTERFACE, IFC_IMPLVERSION, &driverVersion, sizeof driverVersion);
    SetAnswer(WTI_DEFCONTEXT, 0, &defaultContext, sizeof defaultContext);
    SetAnswer(WTI_DEVICES, DVC_NAME, deviceName, sizeof deviceName);
    SetAnswer(WTI_DEVICES, DVC_X, &axisX, sizeof axisX);
    SetAnswer(WTI_DEVICES, DVC_Y, &axisY, sizeof axisY);
}

static BYTE *NewData(UINT size)
{
    return (BYTE *)HeapAlloc(driverHeap, HEAP_ZERO_MEMORY, size > 0 ? size : 1);
}

static BOOL IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static const char *SkipBlanks(const char *text)
{
    while (IsBlank(*text))
        text++;
    return text;
}

static BOOL AtEnd(const char *text)
{
    return *SkipBlanks(text) == '\0';
}

// The next blank-separated word; false when the line has none or it is longer
// than the buffer.
static BOOL ReadWord(const char **text, char *word, UINT size)
{
    const char *start = SkipBlanks(*text);
    UINT length = 0;
    while (start[length] != '\0' && !IsBlank(start[length]))
        length++;
    if (length == 0 || length >= size)
        return FALSE;
    memcpy(word, start, length);
    word[length] = '\0';
    *text = start + length;
    return TRUE;
}

static BOOL IsWord(const char **text, const char *expected)
{
    char word[64];
    const char *after = *text;
    if (!ReadWord(&after, word, sizeof word) || strcmp(word, expected) != 0)
        return FALSE;
    *text = after;
    return TRUE;
}

static int DigitValue(char c, UINT base)
{
    int value = -1;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'f')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        value = c - 'A' + 10;
    return value < (int)base ? value : -1;
}

// Digits in the base up to the end of the word, at most 32 bits.
static BOOL ReadDigits(const char **text, UINT base, DWORD *value)
{
    const char *cursor = *text;
    ULONGLONG number = 0;
    for (; *cursor != '\0' && !IsBlank(*cursor); cursor++) {
        int digit = DigitValue(*cursor, base);
        if (digit < 0)
            return FALSE;
        number = number * base + digit;
        if (number > 0xFFFFFFFFu)
            return FALSE;
    }
    if (cursor == *text)
        return FALSE;
    *value = (DWORD)number;
    *text = cursor;
    return TRUE;
}

// A decimal or 0x hex number, maybe negative, as 32 bits.
static BOOL ReadNumber(const char **text, LONG *value)
{
    const char *cursor = SkipBlanks(*text);
    BOOL negative = *cursor == '-';
    DWORD number;
    if (negative)
        cursor++;
    BOOL hex = cursor[0] == '0' && (cursor[1] == 'x' || cursor[1] == 'X');
    if (hex)
        cursor += 2;
    if (!ReadDigits(&cursor, hex ? 16 : 10, &number))
        return FALSE;
    *value = (LONG)(negative ? 0u - number : number);
    *text = cursor;
    return TRUE;
}

static BOOL ReadNumbers(const char **text, LONG *values, int count)
{
    for (int i = 0; i < count; i++)
        if (!ReadNumber(text, &values[i]))
            return FALSE;
    return TRUE;
}

// The rest of the line after the one blank that separates it from the word
// before, so that a text may begin with blanks of its own.
static const char *RestOfLine(const char *text)
{
    return IsBlank(*text) ? text + 1 : text;
}

// `info C I KIND ...`: text and fill answers end with a NUL, the others are
// exactly their bytes.
static BOOL ParseInfo(const char *text)
{
    LONG key[2];
    LONG v[4];
    char kind[16];
    if (!ReadNumbers(&text, key, 2) || !ReadWord(&text, kind, sizeof kind))
        return FALSE;
    InfoAnswer *answer = AnswerFor((UINT)key[0], (UINT)key[1]);
    if (answer == NULL)
        return FALSE;

    if (strcmp(kind, "text") == 0) {
        const char *rest = RestOfLine(text);
        answer->data = (const BYTE *)rest;
        answer->size = strlen(rest) + 1;
        return TRUE;
    }
    if (strcmp(kind, "fill") == 0) {
        if (!ReadNumbers(&text, v, 2) || !AtEnd(text) || v[0] < 0 || v[0] > 255 || v[1] < 0)
            return FALSE;
        BYTE *data = NewData(v[1] + 1);
        if (data == NULL)
            return FALSE;
        memset(data, v[0], v[1]);
        answer->data = data;
        answer->size = v[1] + 1;
        return TRUE;
    }
    if (strcmp(kind, "bytes") == 0) {
        // At most one byte per two characters of the line.
        BYTE *data = NewData(strlen(text) / 2 + 1);
        UINT size = 0;
        DWORD byte;
        if (data == NULL)
            return FALSE;
        for (text = SkipBlanks(text); *text != '\0'; text = SkipBlanks(text)) {
            const char *start = text;
            if (!ReadDigits(&text, 16, &byte) || text - start > 2)
                return FALSE;
            data[size++] = (BYTE)byte;
        }
        answer->data = data;
        answer->size = size;
        return TRUE;
    }
    if (strcmp(kind, "word") == 0 || strcmp(kind, "dword") == 0) {
        UINT size = kind[0] == 'w' ? 2 : 4;
        BYTE *data = NewData(size);
        if (data == NULL || !ReadNumber(&text, &v[0]) || !AtEnd(text))
            return FALSE;
        memcpy(data, &v[0], size); // little-endian: the low bytes first
        answer->data = data;
        answer->size = size;
        return TRUE;
    }
    if (strcmp(kind, "axis") == 0) {
        AXIS *axis = (AXIS *)NewData(sizeof(AXIS));
        if (axis == NULL || !ReadNumbers(&text, v, 4) || !AtEnd(text))
            return FALSE;
        axis->axMin = v[0];
        axis->axMax = v[1];
        axis->axUnits = (UINT)v[2];
        axis->axResolution = (FIX32)v[3] << 16;
        answer->data = (const BYTE *)axis;
        answer->size = sizeof(AXIS);
        return TRUE;
    }
    if (strcmp(kind, "none") == 0 && AtEnd(text)) {
        answer->data = NULL;
        answer->size = 0;
        return TRUE;
    }
    return FALSE;
}

// `result`, `nowrite` and `sizequery`: C I and for two of them N.
static BOOL ParseAnswerChange(const char *text, const char *directive)
{
    LONG v[3];
    int count = strcmp(directive, "nowrite") == 0 ? 2 : 3;
    if (!ReadNumbers(&text, v, count) || !AtEnd(text))
        return FALSE;
    InfoAnswer *answer = AnswerFor((UINT)v[0], (UINT)v[1]);
    if (answer == NULL)
        return FALSE;
    if (strcmp(directive, "result") == 0) {
        answer->fixedResult = TRUE;
        answer->result = (UINT)v[2];
    } else if (strcmp(directive, "sizequery") == 0) {
        answer->fixedSizeQuery = TRUE;
        answer->sizeQuery = (UINT)v[2];
    } else {
        answer->noWrite = TRUE;
    }
    return TRUE;
}

// `context none`, `context lcName TEXT` (up to 40 chars; exactly 40 leave no
// NUL) or `context FIELD VALUE`.
static BOOL ParseContext(const char *text)
{
    char name[32];
    LONG value;
    if (IsWord(&text, "none") && AtEnd(text)) {
        SetAnswer(WTI_DEFCONTEXT, 0, NULL, 0);
        return TRUE;
    }
    if (!ReadWord(&text, name, sizeof name))
        return FALSE;
    if (strcmp(name, "lcName") == 0) {
        const char *rest = RestOfLine(text);
        size_t length = strlen(rest);
        ZeroMemory(defaultContext.lcName, LCNAMELEN);
        memcpy(defaultContext.lcName, rest, length < LCNAMELEN ? length : LCNAMELEN);
        return TRUE;
    }
    if (!ReadNumber(&text, &value) || !AtEnd(text))
        return FALSE;
    for (UINT i = 0; i < CONTEXT_FIELD_COUNT; i++) {
        if (strcmp(name, contextFields[i].name) == 0) {
            memcpy((BYTE *)&defaultContext + contextFields[i].offset, &value, sizeof value);
            return TRUE;
        }
    }
    return FALSE;
}

static Step *NewStep(StepKind kind)
{
    Step *grown = steps == NULL
        ? (Step *)HeapAlloc(driverHeap, HEAP_ZERO_MEMORY, sizeof(Step))
        : (Step *)HeapReAlloc(driverHeap, HEAP_ZERO_MEMORY, steps, (stepCount + 1) * sizeof(Step));
    if (grown == NULL)
        return NULL;
    steps = grown;
    Step *step = &steps[stepCount++];
    step->kind = kind;
    return step;
}

// A pen script step with `count` numbers; for `rate` the second (packets per
// second) must be positive, and counts and pauses may not be negative.
static BOOL ParseNumberStep(const char *text, StepKind kind, int count)
{
    LONG v[3];
    if (!ReadNumbers(&text, v, count) || !AtEnd(text))
        return FALSE;
    if ((kind == STEP_WAIT || kind == STEP_FLOOD || kind == STEP_RATE) && v[0] < 0)
        return FALSE;
    if (kind == STEP_RATE && v[1] <= 0)
        return FALSE;
    Step *step = NewStep(kind);
    if (step == NULL)
        return FALSE;
    memcpy(step->value, v, count * sizeof v[0]);
    return TRUE;
}

// `post SERIAL CTX`, CTX being `open`, `other` or a number.
static BOOL ParsePost(const char *text)
{
    LONG v[2];
    StepKind kind = STEP_POST;
    if (!ReadNumber(&text, &v[0]))
        return FALSE;
    if (IsWord(&text, "open"))
        kind = STEP_POST_OPEN;
    else if (IsWord(&text, "other"))
        v[1] = OTHER_HANDLE;
    else if (!ReadNumber(&text, &v[1]))
        return FALSE;
    if (!AtEnd(text))
        return FALSE;
    Step *step = NewStep(kind);
    if (step == NULL)
        return FALSE;
    memcpy(step->value, v, sizeof v);
    return TRUE;
}

// A relative path is taken from the scenario file's folder, whatever the
// program's current folder is.
static const char *ScenarioPath(const char *path)
{
    BOOL absolute = path[0] == '\\' || path[0] == '/' || path[1] == ':';
    if (absolute)
        return path;
    char *full = (char *)NewData(strlen(scenarioFolder) + strlen(path) + 1);
    if (full != NULL) {
        strcpy(full, scenarioFolder);
        strcat(full, path);
    }
    return full;
}

static BOOL ParseLine(const char *line)
{
    const char *text = line;
    char word[16];
    if (AtEnd(text) || *SkipBlanks(text) == '#')
        return TRUE;
    if (!ReadWord(&text, word, sizeof word))
        return FALSE;

    if (strcmp(word, "info") == 0)
        return ParseInfo(text);
    if (strcmp(word, "result") == 0 || strcmp(word, "nowrite") == 0
            || strcmp(word, "sizequery") == 0)
        return ParseAnswerChange(text, word);
    if (strcmp(word, "context") == 0)
        return ParseContext(text);
    if (strcmp(word, "packet") == 0 && IsWord(&text, "true") && AtEnd(text)) {
        packetAlwaysTrue = TRUE;
        return TRUE;
    }
    BOOL *failure = NULL;
    if (strcmp(word, "open") == 0)
        failure = &openFails;
    else if (strcmp(word, "close") == 0)
        failure = &closeFails;
    else if (strcmp(word, "packet") == 0)
        failure = &packetFails;
    else if (strcmp(word, "load") == 0)
        failure = &loadFails;
    if (failure != NULL) {
        if (!IsWord(&text, "fail") || !AtEnd(text))
            return FALSE;
        *failure = TRUE;
        return TRUE;
    }
    if (strcmp(word, "queue") == 0) {
        LONG length;
        if (!ReadNumber(&text, &length) || !AtEnd(text) || length < 0)
            return FALSE;
        queueLength = (UINT)length;
        return TRUE;
    }
    if (strcmp(word, "log") == 0) {
        if (!IsWord(&text, "off") || !AtEnd(text))
            return FALSE;
        logCalls = FALSE;
        return TRUE;
    }

    if (strcmp(word, "pen") == 0)
        return ParseNumberStep(text, STEP_PEN, 2);
    if (strcmp(word, "buttons") == 0)
        return ParseNumberStep(text, STEP_BUTTONS, 1);
    if (strcmp(word, "wait") == 0)
        return ParseNumberStep(text, STEP_WAIT, 1);
    if (strcmp(word, "flood") == 0)
        return ParseNumberStep(text, STEP_FLOOD, 1);
    if (strcmp(word, "rate") == 0)
        return ParseNumberStep(text, STEP_RATE, 2);
    if (strcmp(word, "other") == 0)
        return ParseNumberStep(text, STEP_OTHER, 3);
    if (strcmp(word, "post") == 0)
        return ParsePost(text);
    if (strcmp(word, "waitfile") == 0) {
        text = SkipBlanks(text);
        Step *step = *text != '\0' ? NewStep(STEP_WAITFILE) : NULL;
        if (step == NULL)
            return FALSE;
        step->path = ScenarioPath(text);
        return step->path != NULL;
    }
    if (strcmp(word, "done") == 0 && AtEnd(text))
        return NewStep(STEP_DONE) != NULL;
    return FALSE;
}

// Reads the scenario file into the driver heap and parses it line by line.
// The buffer stays: text answers and waitfile paths point into it. A line
// that cannot be parsed is logged and left out.
static void LoadScenario(const char *path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD size = file != INVALID_HANDLE_VALUE ? GetFileSize(file, NULL) : INVALID_FILE_SIZE;
    char *text = size != INVALID_FILE_SIZE ? (char *)NewData(size + 1) : NULL;
    DWORD read = 0;
    BOOL readOk = text != NULL && ReadFile(file, text, size, &read, NULL) && read == size;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!readOk) {
        LogScenarioError(0, path);
        return;
    }

    strcpy(scenarioFolder, path);
    char *separator = strrchr(scenarioFolder, '\\');
    if (separator == NULL)
        separator = strrchr(scenarioFolder, '/');
    *(separator != NULL ? separator + 1 : scenarioFolder) = '\0';

    UINT lineNumber = 1;
    for (char *line = text; line < text + size; lineNumber++) {
        char *end = line + strcspn(line, "\n");
        char *next = end + 1;
        *end = '\0';
        if (end > line && end[-1] == '\r')
            end[-1] = '\0';
        if (!ParseLine(line))
            LogScenarioError(lineNumber, line);
        line = next;
    }
}

// ---------------------------------------------------------------- packets

// The fields of this packet that differ from the context's previous one,
// among those the packet carries. Status, cursor, Z, pressures, orientation
// and rotation are always zero, so they never change.
static DWORD ChangedFields(const SimPacket *packet, const SimPacket *previous, DWORD pktData)
{
    DWORD changed = 0;
    if (packet->time != previous->time)
        changed |= PK_TIME;
    if (packet->serial != previous->serial)
        changed |= PK_SERIAL_NUMBER;
    if (packet->buttons != previous->buttons)
        changed |= PK_BUTTONS;
    if (packet->x != previous->x)
        changed |= PK_X;
    if (packet->y != previous->y)
        changed |= PK_Y;
    return changed & pktData;
}

static void DropPacket(DWORD serial)
{
    InterlockedIncrement(&droppedCount);
    LogEvent("dropped serial=%lu", serial);
}

// Adds a packet to the context's queue, dropping the oldest when the queue
// is full, and answers its serial number. The caller holds the lock.
static UINT QueuePacket(SimContext *context, LONG x, LONG y, DWORD buttons)
{
    SimPacket packet;
    ZeroMemory(&packet, sizeof packet);
    packet.context = context->handle;
    packet.time = GetTickCount();
    packet.serial = context->nextSerial++;
    packet.buttons = buttons;
    packet.x = x;
    packet.y = y;
    packet.changed = ChangedFields(&packet, &context->last, context->record.lcPktData);
    context->last = packet;

    if (queueLength == 0) {
        DropPacket(packet.serial);
        return packet.serial;
    }
    if (context->count == queueLength) {
        DropPacket(context->queue[context->first].serial);
        context->first = (context->first + 1) % queueLength;
        context->count--;
    }
    context->queue[(context->first + context->count) % queueLength] = packet;
    context->count++;
    return packet.serial;
}

// Takes the packet with this serial out of the queue, and every older one
// with it, as a real driver does. The caller holds the lock.
static BOOL TakePacket(SimContext *context, UINT serial, SimPacket *packet)
{
    for (UINT i = 0; i < context->count; i++) {
        UINT slot = (context->first + i) % queueLength;
        if (context->queue[slot].serial == serial) {
            *packet = context->queue[slot];
            context->first = (slot + 1) % queueLength;
            context->count -= i + 1;
            return TRUE;
        }
    }
    return FALSE;
}

static void PutValue(BYTE **out, DWORD value)
{
    memcpy(*out, &value, sizeof value);
    *out += sizeof value;
}

// The fields selected in pktData, in the order of their bits.
static void WritePacket(const SimPacket *packet, DWORD pktData, BYTE *out)
{
    if (pktData & PK_CONTEXT)
        PutValue(&out, (DWORD)(UINT_PTR)packet->context);
    if (pktData & PK_STATUS)
        PutValue(&out, packet->status);
    if (pktData & PK_TIME)
        PutValue(&out, packet->time);
    if (pktData & PK_CHANGED)
        PutValue(&out, packet->changed);
    if (pktData & PK_SERIAL_NUMBER)
        PutValue(&out, packet->serial);
    if (pktData & PK_CURSOR)
        PutValue(&out, packet->cursor);
    if (pktData & PK_BUTTONS)
        PutValue(&out, packet->buttons);
    if (pktData & PK_X)
        PutValue(&out, (DWORD)packet->x);
    if (pktData & PK_Y)
        PutValue(&out, (DWORD)packet->y);
    if (pktData & PK_Z)
        PutValue(&out, (DWORD)packet->z);
    if (pktData & PK_NORMAL_PRESSURE)
        PutValue(&out, packet->normalPressure);
    if (pktData & PK_TANGENT_PRESSURE)
        PutValue(&out, packet->tangentPressure);
    for (int i = 0; (pktData & PK_ORIENTATION) && i < 3; i++)
        PutValue(&out, (DWORD)packet->orientation[i]);
    for (int i = 0; (pktData & PK_ROTATION) && i < 3; i++)
        PutValue(&out, (DWORD)packet->rotation[i]);
}

// Posts the packet message; a message the system refuses is logged as such
// and not counted.
static void PostPacketMessage(HWND owner, UINT message, UINT serial, UINT handle)
{
    ULONGLONG time = Microseconds();
    if (PostMessageA(owner, message, serial, (LPARAM)handle)) {
        if (InterlockedIncrement(&postedCount) == 1)
            firstPostTime = time;
        LogEvent("post serial=%u ctx=0x%X t=%llu", serial, handle, time);
    } else {
        LogEvent("post failed serial=%u ctx=0x%X t=%llu", serial, handle, time);
    }
}

// Queues a packet in the context and tells its owner.
static void SendPacket(SimContext *context, LONG x, LONG y, DWORD buttons)
{
    EnterCriticalSection(&driverLock);
    UINT serial = QueuePacket(context, x, y, buttons);
    LeaveCriticalSection(&driverLock);
    PostPacketMessage(context->owner, context->record.lcMsgBase, serial,
                      (UINT)(UINT_PTR)context->handle);
}

// ---------------------------------------------------------------- contexts

// An open context or the driver's other context; the caller holds the lock.
static SimContext *FindContext(HCTX handle)
{
    if (handle == NULL)
        return NULL;
    if (otherContext.handle == handle)
        return &otherContext;
    for (int i = 0; i < MAX_CONTEXTS; i++)
        if (contexts[i].handle == handle)
            return &contexts[i];
    return NULL;
}

// Fills a context; false when its queue cannot be had.
static BOOL SetUpContext(SimContext *context, HCTX handle, HWND owner, const LOGCONTEXTA *record)
{
    ZeroMemory(context, sizeof *context);
    context->queue = (SimPacket *)NewData(queueLength * sizeof(SimPacket));
    if (context->queue == NULL)
        return FALSE;
    context->handle = handle;
    context->owner = owner;
    context->record = *record;
    context->nextSerial = 1;
    return TRUE;
}

static void FreeContext(SimContext *context)
{
    HeapFree(driverHeap, 0, context->queue);
    ZeroMemory(context, sizeof *context);
}

// A free slot with a new handle; NULL when all are taken.
static SimContext *AddContext(HWND owner, const LOGCONTEXTA *record)
{
    SimContext *added = NULL;
    EnterCriticalSection(&driverLock);
    int i = 0;
    while (i < MAX_CONTEXTS && contexts[i].handle != NULL)
        i++;
    if (nextHandle == OTHER_HANDLE)
        nextHandle++;
    if (i < MAX_CONTEXTS && SetUpContext(&contexts[i], (HCTX)(UINT_PTR)nextHandle, owner, record)) {
        added = &contexts[i];
        nextHandle++;
    }
    LeaveCriticalSection(&driverLock);
    return added;
}

// ---------------------------------------------------------------- pen script

static void MovePen(LONG x, LONG y)
{
    DWORD moved = (x != penX ? PK_X : 0) | (y != penY ? PK_Y : 0);
    penX = x;
    penY = y;
    if (moved & scriptContext->record.lcMoveMask)
        SendPacket(scriptContext, penX, penY, penButtons);
}

static void SetButtons(DWORD buttons)
{
    DWORD pressed = buttons & ~penButtons;
    DWORD released = penButtons & ~buttons;
    penButtons = buttons;
    if ((pressed & scriptContext->record.lcBtnDnMask)
            || (released & scriptContext->record.lcBtnUpMask))
        SendPacket(scriptContext, penX, penY, penButtons);
}

// count moves of X += 1, the i-th due i/perSecond seconds after the first.
// Sleep(1) while more than two milliseconds are left, then Sleep(0) until
// the moment, which keeps the pace exact up to a thousand and more a second.
static void MovePenPaced(LONG count, LONG perSecond)
{
    LARGE_INTEGER start, now;
    LONGLONG twoMilliseconds = counterFrequency.QuadPart / 500;
    QueryPerformanceCounter(&start);
    for (LONG i = 0; i < count && !stopRequested; i++) {
        LONGLONG due = start.QuadPart + i * counterFrequency.QuadPart / perSecond;
        for (;;) {
            QueryPerformanceCounter(&now);
            if (now.QuadPart >= due || stopRequested)
                break;
            Sleep(due - now.QuadPart > twoMilliseconds ? 1 : 0);
        }
        MovePen(penX + 1, penY);
    }
}

static void WaitForFile(const char *path)
{
    while (!stopRequested && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        WaitForSingleObject(stopEvent, 10);
}

static void RunStep(const Step *step)
{
    switch (step->kind) {
    case STEP_PEN:
        MovePen(step->value[0], step->value[1]);
        break;
    case STEP_BUTTONS:
        SetButtons((DWORD)step->value[0]);
        break;
    case STEP_WAIT:
        WaitForSingleObject(stopEvent, (DWORD)step->value[0]);
        break;
    case STEP_WAITFILE:
        WaitForFile(step->path);
        break;
    case STEP_FLOOD:
        for (LONG i = 0; i < step->value[0] && !stopRequested; i++)
            MovePen(penX + 1, penY);
        break;
    case STEP_RATE:
        MovePenPaced(step->value[0], step->value[1]);
        break;
    case STEP_POST:
    case STEP_POST_OPEN:
        PostPacketMessage(scriptContext->owner, scriptContext->record.lcMsgBase,
                          (UINT)step->value[0],
                          step->kind == STEP_POST_OPEN ? (UINT)(UINT_PTR)scriptContext->handle
                                                       : (UINT)step->value[1]);
        break;
    case STEP_OTHER:
        SendPacket(&otherContext, step->value[0], step->value[1], (DWORD)step->value[2]);
        break;
    case STEP_DONE:
        Log("script done");
        break;
    }
}

// Runs the steps in order until the last or until WTClose stops it. The
// thread holds a reference to this library (taken by StartScript) and gives
// it back as it exits, so that a FreeLibrary by the program while the script
// runs cannot unload the code under it.
static DWORD WINAPI ScriptThread(LPVOID module)
{
    for (UINT i = 0; i < stepCount && !stopRequested; i++)
        RunStep(&steps[i]);
    if (!stopRequested && steps[stepCount - 1].kind != STEP_DONE)
        Log("script done");
    FreeLibraryAndExitThread((HMODULE)module, 0);
    return 0;
}

// Starts the pen script for this context, unless there is no script or it
// already drives another context. The driver's other context starts too,
// a copy of this one with its own handle and queue.
static void StartScript(SimContext *context)
{
    HMODULE module;
    EnterCriticalSection(&driverLock);
    if (stepCount > 0 && scriptContext == NULL
            && SetUpContext(&otherContext, (HCTX)(UINT_PTR)OTHER_HANDLE, context->owner, &context->record)) {
        scriptContext = context;
        penX = 0;
        penY = 0;
        penButtons = 0;
        stopRequested = 0;
        ResetEvent(stopEvent);
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, (LPCSTR)ScriptThread, &module);
        scriptThread = CreateThread(NULL, 0, ScriptThread, module, 0, NULL);
        if (scriptThread == NULL) {
            FreeLibrary(module);
            FreeContext(&otherContext);
            scriptContext = NULL;
        }
    }
    LeaveCriticalSection(&driverLock);
}

// ---------------------------------------------------------------- exports

UINT WINAPI WTInfoA(UINT category, UINT index, LPVOID output)
{
    const InfoAnswer *answer = FindAnswer(category, index);
    UINT result = 0;
    if (answer != NULL && output == NULL) {
        result = answer->fixedSizeQuery ? answer->sizeQuery : answer->size;
    } else if (answer != NULL) {
        if (!answer->noWrite && answer->size > 0)
            memcpy(output, answer->data, answer->size);
        result = answer->fixedResult ? answer->result : answer->size;
    }
    LogEvent("WTInfoA %u %u %s -> %u", category, index, output != NULL ? "buffer" : "null", result);
    return result;
}

HCTX WINAPI WTOpenA(HWND owner, LOGCONTEXTA *context, BOOL enable)
{
    SimContext *opened = NULL;
    if (context != NULL && !openFails)
        opened = AddContext(owner, context);
    HCTX handle = opened != NULL ? opened->handle : NULL;
    LogEvent("WTOpenA owner=0x%08X enable=%d -> 0x%X",
             (UINT)(UINT_PTR)owner, enable, (UINT)(UINT_PTR)handle);
    if (context != NULL)
        LogContext(context);
    if (opened != NULL && (context->lcOptions & CXO_MESSAGES))
        StartScript(opened);
    return handle;
}

// Closing the script's context stops the script first and waits for its
// thread, so that no message follows WTClose; the other context goes too.
BOOL WINAPI WTClose(HCTX handle)
{
    HANDLE thread = NULL;
    EnterCriticalSection(&driverLock);
    SimContext *context = handle != (HCTX)(UINT_PTR)OTHER_HANDLE ? FindContext(handle) : NULL;
    BOOL closed = context != NULL && !closeFails;
    if (closed && context == scriptContext) {
        thread = scriptThread;
        scriptThread = NULL;
        stopRequested = 1;
        SetEvent(stopEvent);
    }
    LeaveCriticalSection(&driverLock);

    if (thread != NULL) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }

    EnterCriticalSection(&driverLock);
    if (closed && context == scriptContext) {
        FreeContext(&otherContext);
        scriptContext = NULL;
    }
    if (closed)
        FreeContext(context);
    LeaveCriticalSection(&driverLock);

    LogEvent("WTClose 0x%X -> %d", (UINT)(UINT_PTR)handle, closed);
    LogStats();
    return closed;
}

BOOL WINAPI WTPacket(HCTX handle, UINT serial, LPVOID packet)
{
    ULONGLONG time = Microseconds();
    SimPacket found;
    DWORD pktData = 0;
    EnterCriticalSection(&driverLock);
    SimContext *context = FindContext(handle);
    BOOL taken = context != NULL && !packetFails && TakePacket(context, serial, &found);
    if (taken)
        pktData = context->record.lcPktData;
    LeaveCriticalSection(&driverLock);

    // `packet true` answers true here too, with nothing written: a driver
    // that claims a packet it does not have.
    if (!taken) {
        BOOL answer = packetAlwaysTrue && !packetFails;
        LogEvent("WTPacket 0x%X %u -> %d t=%llu", (UINT)(UINT_PTR)handle, serial, answer, time);
        return answer;
    }
    InterlockedIncrement(&readCount);
    lastReadTime = time;
    // A null buffer only takes the packets out of the queue.
    if (packet != NULL)
        WritePacket(&found, pktData, (BYTE *)packet);
    LogEvent("WTPacket 0x%X %u -> 1 x=%ld y=%ld buttons=%lu t=%llu",
             (UINT)(UINT_PTR)handle, serial, found.x, found.y, found.buttons, time);
    return TRUE;
}

// ---------------------------------------------------------------- library

static void OpenLog(void)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("SIMTAB_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    // Shared for reading and writing, so that tests can read it while the
    // program runs and several processes can append to it.
    logFile = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

static BOOL Attach(void)
{
    char path[MAX_PATH];
    QueryPerformanceFrequency(&counterFrequency);
    QueryPerformanceCounter(&attachTime);
    InitializeCriticalSection(&driverLock);
    InitializeCriticalSection(&logLock);
    driverHeap = HeapCreate(0, 0, 0);
    stopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    attached = TRUE;
    OpenLog();
    Log("attach");
    if (driverHeap == NULL || stopEvent == NULL)
        return FALSE;

    SetBuiltInAnswers();
    DWORD length = GetEnvironmentVariableA("SIMTAB_SCENARIO", path, sizeof path);
    if (length >= sizeof path)
        LogScenarioError(0, "SIMTAB_SCENARIO too long");
    else if (length > 0)
        LoadScenario(path);
    return !loadFails;
}

// No script thread runs here when the library is unloaded: each holds a
// reference to it. At process exit (reserved not NULL) the threads are gone
// already and the system frees everything, so only the log is written then.
// The log tells the two apart: a program that released the library before
// it ended shows `detach`, one that left it loaded shows `detach exit`.
static void Detach(BOOL unloading)
{
    if (!attached)
        return;
    attached = FALSE;
    processExiting = !unloading;
    LogStats();
    Log(unloading ? "detach" : "detach exit");
    if (!unloading)
        return;
    if (scriptThread != NULL)
        CloseHandle(scriptThread);
    if (stopEvent != NULL)
        CloseHandle(stopEvent);
    if (driverHeap != NULL)
        HeapDestroy(driverHeap);
    DeleteCriticalSection(&driverLock);
    DeleteCriticalSection(&logLock);
    if (logFile != INVALID_HANDLE_VALUE)
        CloseHandle(logFile);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_ATTACH)
        return Attach();
    if (reason == DLL_PROCESS_DETACH)
        Detach(reserved == NULL);
    return TRUE;
}
