/* The proxy/stub DLL of IWiaPropertyStorage (see imaging_double_ps.idl): the
 * compiler's proxy and DLL data, built against the MinGW headers. The
 * stubless proxy layout and the three IUnknown proxies the MinGW headers do
 * not declare (rpcrt4.dll exports them). */
#define USE_STUBLESS_PROXY
#define USE_COMPILER_EXCEPTIONS
#include <objbase.h>
#include <rpcproxy.h>

HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown *This, REFIID riid, void **ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown *This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown *This);

#include "imaging_double_ps_p.c"
#include "imaging_double_ps_dlldata.c"

/* The stub layout must be PROPVARIANT's, or the client's array is read with the wrong stride. */
_Static_assert(sizeof(PROPVARIANT_WIRE) == sizeof(PROPVARIANT), "PROPVARIANT_WIRE has PROPVARIANT's size");
_Static_assert(offsetof(PROPVARIANT_WIRE, lVal) == offsetof(PROPVARIANT, lVal), "the value sits where PROPVARIANT's does");
