// Fault points of the platform layer: in the fault-injection test build (quendal_faults, compiled
// with QUENDAL_FAULT_INJECTION) every file-system call of platform_posix.cpp first asks the fault
// plan whether this call is the one to fail, and if so fails the way the system call would, with
// the plan's error number. In every other build FAULT_POINT is empty and costs nothing.
//
// The plan comes from the environment variable QUENDAL_FAULTS, read once by the test build at the
// start of the program (the production binary never reads it). It is a list of items separated by
// ";":
//
//   kind=K       the kind of call to fail: open, read, write, rename, remove, create_directory,
//                metadata, allocation
//   call=N       fail the Nth call of that kind (counted from 1, from the start of main, over all
//                threads)
//   repeat       also fail every later call of that kind, as a disk that stays full would
//   error=E      the error number the failed call reports: EIO (the default), ENOSPC, EACCES or
//                ENOMEM; an allocation fault throws std::bad_alloc whatever E is
//   count        fail nothing; log every call instead
//   log=PATH     where to append one line per logged call: "<kind>\t<N>\t<path>\n", N counting
//                calls of that kind. Without count, only the failed calls are logged.
//
// Calls are counted per kind. A path is the one the call was given, "(standard output)" for the
// report on standard output and "" for an allocation. Standard error is never failed: it carries
// the messages that the faults cause.
//
// A new platform function that can fail starts with FAULT_POINT(kind, path) of the kind of call it
// makes; one that works on an open handle uses FAULT_POINT_ON_HANDLE, with FAULT_NOTE_HANDLE after
// the open and FAULT_FORGET_HANDLE before the close. tests/fault_walk.py then fails it in turn.
#pragma once

#include <cstdint>
#include <string_view>

namespace quendal::platform::fault {

enum class Kind : unsigned {
  open,
  read,
  write,
  rename,
  remove,
  create_directory,
  metadata,
  allocation,
};
inline constexpr unsigned k_kind_count = 8;

// Reads the plan from QUENDAL_FAULTS; until this is called no call is counted or failed.
// Called once by initialize_process, at the start of the program, before any thread is started.
void arm_from_environment();

// Counts a call of `kind` on `path` and returns the error number it must fail with, or 0 to let
// it run. Safe on every thread; does not allocate.
int injected(Kind kind, std::string_view path);

// Calls on an open file carry its handle instead of a path: note_handle records the path of a
// handle after a successful open, forget_handle drops it before the close.
void note_handle(std::intptr_t handle, std::string_view path);
void forget_handle(std::intptr_t handle);
int injected_on_handle(Kind kind, std::intptr_t handle);

// Between enter_hint_scope and leave_hint_scope the calling thread's calls (allocations
// included) are read-ahead hints whose failures nothing reports: they are neither counted nor
// failed, so a plan means the same calls in every run however far the read-ahead gets.
void enter_hint_scope();
void leave_hint_scope();

}  // namespace quendal::platform::fault

#ifdef QUENDAL_FAULT_INJECTION
// At the top of a platform function returning Result<T>: returns the failure the system call
// would have given when the plan fails this call. `errno_failure` must be in scope.
#define FAULT_POINT(kind, path)                                                                 \
  do {                                                                                          \
    if (const int fault_error_ =                                                                \
            ::quendal::platform::fault::injected(::quendal::platform::fault::Kind::kind, path); \
        fault_error_ != 0) {                                                                    \
      return errno_failure(fault_error_);                                                       \
    }                                                                                           \
  } while (false)
#define FAULT_POINT_ON_HANDLE(kind, handle)                                      \
  do {                                                                           \
    if (const int fault_error_ = ::quendal::platform::fault::injected_on_handle( \
            ::quendal::platform::fault::Kind::kind, handle);                     \
        fault_error_ != 0) {                                                     \
      return errno_failure(fault_error_);                                        \
    }                                                                            \
  } while (false)
#define FAULT_NOTE_HANDLE(handle, path) ::quendal::platform::fault::note_handle(handle, path)
#define FAULT_FORGET_HANDLE(handle) ::quendal::platform::fault::forget_handle(handle)
#define FAULT_ENTER_HINT_SCOPE() ::quendal::platform::fault::enter_hint_scope()
#define FAULT_LEAVE_HINT_SCOPE() ::quendal::platform::fault::leave_hint_scope()
#define FAULT_ARM_FROM_ENVIRONMENT() ::quendal::platform::fault::arm_from_environment()
#else
#define FAULT_POINT(kind, path) \
  do {                          \
  } while (false)
#define FAULT_POINT_ON_HANDLE(kind, handle) \
  do {                                      \
  } while (false)
#define FAULT_NOTE_HANDLE(handle, path) \
  do {                                  \
  } while (false)
#define FAULT_FORGET_HANDLE(handle) \
  do {                              \
  } while (false)
#define FAULT_ENTER_HINT_SCOPE() \
  do {                           \
  } while (false)
#define FAULT_LEAVE_HINT_SCOPE() \
  do {                           \
  } while (false)
#define FAULT_ARM_FROM_ENVIRONMENT() \
  do {                               \
  } while (false)
#endif
