// A stand-in MAPI runtime for the entry-point table tests: exports the ten names, or only the
// first seven when built with NX_FAKE_PARTIAL (HrGetOneProp and the rest missing).
extern "C" {
int MAPIInitialize() {
    return 0;
}
int MAPIUninitialize() {
    return 0;
}
int MAPILogonEx() {
    return 0;
}
int MAPIAllocateBuffer() {
    return 0;
}
int MAPIAllocateMore() {
    return 0;
}
int MAPIFreeBuffer() {
    return 0;
}
int MAPIAdminProfiles() {
    return 0;
}
#ifndef NX_FAKE_PARTIAL
int HrGetOneProp() {
    return 0;
}
int FreeProws() {
    return 0;
}
int HrQueryAllRows() {
    return 0;
}
#endif
}
