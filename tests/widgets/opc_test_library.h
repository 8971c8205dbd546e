#pragma once
// The test library's own calls, beside the entry points the program binds.

#include <string>

#include "widgets/opc_abi.h"

struct QvOpcTestSignal {
    std::u16string item;
    int32_t requestedType = -1;
};

extern "C" {
QvOpcTestSignal QvOpcTestInfo(uint64_t handle);
double QvOpcTestLastSent();
// Sets the signal's value and quality and calls its item back from another thread.
void QvOpcTestPublish(uint64_t handle, QvOpcValue value, uint16_t quality);
}
