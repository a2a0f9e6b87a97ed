// Module-wide state of the COM server: lock count, the cached class factory
// and the type information of IUsbKey shared by every instance.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "tallykey_h.h"

namespace Module {

void Lock();
void Unlock();
LONG LockCount();
HINSTANCE Instance();

// The type information of IUsbKey, loaded from the registered type library
// on first use and kept for the process. S_OK or the loading error.
HRESULT TypeInfo(LCID lcid, ITypeInfo** info);
// Resolves names through the name cache first, then through the type information.
HRESULT IdsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids);

} // namespace Module
