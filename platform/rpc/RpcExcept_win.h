// RpcTryExcept / RpcExcept(filter) / RpcEndExcept / RpcExceptionCode() for mingw-w64, whose GCC
// has no structured exception handling (its rpc.h maps them to __try/__except, which it cannot
// compile). The system runtime reports a failed call (nobody listens, the connection broke, the
// server replied a fault) by raising an exception whose code is the RPC status; these macros
// turn such an exception into a branch:
//
//     RpcTryExcept { DeliverContact(binding, text); }
//     RpcExcept(1) { status = RpcExceptionCode(); }
//     RpcEndExcept
//
// How: RpcTryExcept marks a recovery point (__builtin_setjmp) for the thread; a vectored
// exception handler, seeing an RPC status raised while a point is marked, resumes the thread at
// a function that jumps back to the point (__builtin_longjmp), where RpcExcept's block runs. The
// frames in between (the runtime's) are abandoned, not unwound: keep the guarded block to one
// stub call with plain arguments, and no objects with destructors inside it. An exception that is
// not an RPC status, or that the filter declines (0), goes on as if no point were marked.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <rpc.h>
#include <windows.h>

#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcExceptionCode

namespace nx::rpc::win {

struct RecoveryPoint {
    void* jump[5] = {};  // __builtin_setjmp's buffer
    volatile DWORD code = 0;
    RecoveryPoint* previous = nullptr;
};

// Marks `point` for this thread for its lifetime (and installs the handler once per process).
class RecoveryScope {
public:
    RecoveryScope();
    ~RecoveryScope();
    RecoveryScope(const RecoveryScope&) = delete;
    RecoveryScope& operator=(const RecoveryScope&) = delete;
    RecoveryPoint point;
    // The filter declined: the exception is raised again, outside this scope.
    [[noreturn]] void RaiseAgain();
};

}  // namespace nx::rpc::win

#define RpcTryExcept                                    \
    {                                                   \
        ::nx::rpc::win::RecoveryScope nx_rpc_recovery_; \
        if (__builtin_setjmp(nx_rpc_recovery_.point.jump) == 0) {
#define RpcExcept(filter) \
    }                     \
    else if ((filter) != 0) {
#define RpcEndExcept                   \
    }                                  \
    else {                             \
        nx_rpc_recovery_.RaiseAgain(); \
    }                                  \
    }
#define RpcExceptionCode() (static_cast<DWORD>(nx_rpc_recovery_.point.code))
