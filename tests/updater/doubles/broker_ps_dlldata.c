/* Entry points of broker_ps.dll, the proxy/stub DLL of the event broker double's
 * interface (widl -Oif proxies). Test support only. */

#include <windows.h>

#define REGISTER_PROXY_DLL
/* {B9E3C0A1-5D7E-4F52-8C11-2A6B4E0D9F31}: the double's proxy/stub factory class. */
#define PROXY_CLSID_IS {0xb9e3c0a1, 0x5d7e, 0x4f52, {0x8c, 0x11, 0x2a, 0x6b, 0x4e, 0x0d, 0x9f, 0x31}}

#include <rpcproxy.h>

EXTERN_PROXY_FILE(event_broker)

PROXYFILE_LIST_START
REFERENCE_PROXY_FILE(event_broker),
PROXYFILE_LIST_END

DLLDATA_ROUTINES(aProxyFileList, GET_DLL_CLSID)
