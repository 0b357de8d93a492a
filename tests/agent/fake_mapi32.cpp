// A stand-in MAPI runtime for the entry-point table tests: exports the ten names, or only the
// first seven when built with NX_FAKE_PARTIAL (HrGetOneProp and the rest missing).
#define NX_FAKE_ENTRY(name) \
    int name() {            \
        return 0;           \
    }
extern "C" {
NX_FAKE_ENTRY(MAPIInitialize)
NX_FAKE_ENTRY(MAPIUninitialize)
NX_FAKE_ENTRY(MAPILogonEx)
NX_FAKE_ENTRY(MAPIAllocateBuffer)
NX_FAKE_ENTRY(MAPIAllocateMore)
NX_FAKE_ENTRY(MAPIFreeBuffer)
NX_FAKE_ENTRY(MAPIAdminProfiles)
#ifndef NX_FAKE_PARTIAL
NX_FAKE_ENTRY(HrGetOneProp)
NX_FAKE_ENTRY(FreeProws)
NX_FAKE_ENTRY(HrQueryAllRows)
#endif
}
