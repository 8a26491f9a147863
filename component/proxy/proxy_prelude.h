/* Included before the generated proxy code. MinGW-w64's unknwn.h declares the
 * IUnknown proxies that rpcrt4 exports only for C++; the generated C refers to
 * them in every proxy's table. */
#pragma once

#include <objbase.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);
