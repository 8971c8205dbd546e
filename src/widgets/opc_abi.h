#pragma once
// The calls between the program and the optional OPC library (C linkage). Texts
// are UTF-16, null-terminated. A library calls an item back from any thread; it
// stops calling an item once SignalRemove for it has returned.

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Value kinds, numbered as OLE variants.
enum {
    QV_OPC_EMPTY = 0,
    QV_OPC_I2 = 2,
    QV_OPC_I4 = 3,
    QV_OPC_R4 = 4,
    QV_OPC_R8 = 5,
    QV_OPC_STRING = 8,
    QV_OPC_BOOL = 11,
    QV_OPC_I1 = 16,
    QV_OPC_UI1 = 17,
    QV_OPC_UI2 = 18,
    QV_OPC_UI4 = 19,
    QV_OPC_I8 = 20
};

typedef struct QvOpcValue {
    int32_t type;
    int64_t integer;       // the integer kinds and BOOL
    double real;           // R4, R8
    const char16_t* text;  // STRING; owned by whoever filled the value
} QvOpcValue;

typedef struct QvOpcCallback {
    void* context;
    void (*data_arrived)(void* context);
} QvOpcCallback;

typedef uint64_t (*QvSignalAdd)(const char16_t* computer, const char16_t* server,
                                const char16_t* item, const char16_t* group, int32_t updateRate,
                                int32_t suspended, int32_t requestedType,
                                const QvOpcCallback* callback);
typedef void (*QvSignalRemove)(uint64_t handle);
typedef int32_t (*QvSignalGetFlag)(uint64_t handle);
typedef void (*QvSignalSendData)(uint64_t handle, const QvOpcValue* value);
// The text of a STRING value stays valid until the next call for that handle.
typedef void (*QvSignalGetData)(uint64_t handle, QvOpcValue* value);
// Days since 30 December 1899, as OLE dates.
typedef double (*QvSignalGetTimeStamp)(uint64_t handle);
typedef uint16_t (*QvSignalGetQuality)(uint64_t handle);
// Empty or null when the last call succeeded.
typedef const char* (*QvGetLastCallErrorString)(void);

#ifdef __cplusplus
}
#endif
