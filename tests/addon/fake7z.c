/* Stand-ins for libraries that are not the format library this program can drive: each build
   exports only what its FAKE_* switches ask for. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

typedef struct {
    uint16_t vt, r1, r2, r3;
    uint64_t value;
} Variant;

int FakeLibraryMarker(void) { return 7; }

#ifdef FAKE_CREATE_OBJECT
int32_t CreateObject(const void* cls, const void* iid, void** out) {
    (void)cls;
    (void)iid;
    *out = 0;
    return (int32_t)0x80040111u;
}
wchar_t* SysAllocString(const wchar_t* s) {
    size_t n = wcslen(s);
    uint32_t* p = malloc(sizeof(uint32_t) + (n + 1) * sizeof(wchar_t));
    p[0] = (uint32_t)(n * sizeof(wchar_t));
    memcpy(p + 1, s, (n + 1) * sizeof(wchar_t));
    return (wchar_t*)(p + 1);
}
int32_t VariantClear(Variant* v) {
    v->vt = 0;
    return 0;
}
#endif

#ifdef FAKE_HANDLER_PROPERTY
int32_t GetHandlerProperty(uint32_t id, Variant* v) {
    (void)id;
    v->vt = 0;
    return 0;
}
#endif

#ifdef FAKE_LAYOUT
int32_t GetModuleProp(uint32_t id, Variant* v) {
    v->vt = 0;
    if (id == 0) {
        v->vt = 19; /* VT_UI4 */
        v->value = FAKE_LAYOUT;
    }
    return 0;
}
#endif
