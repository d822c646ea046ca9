// The fault plan of the fault-injection test build (see fault_point.h), and the replaced global
// allocation functions through which the plan fails allocations. Linked only into quendal_faults.
//
// Everything here runs inside operator new as well, so it never allocates: the plan is parsed in
// place, counters are atomics, and log lines go out through one writev each.
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/fault_point.h"

namespace quendal::platform::fault {
namespace {

constexpr std::string_view k_kind_names[k_kind_count] = {
    "open", "read", "write", "rename", "remove", "create_directory", "metadata", "allocation"};

struct Plan {
  bool count_only = false;
  bool has_target = false;
  Kind kind = Kind::open;
  std::uint64_t call = 0;
  bool repeat = false;
  int error = EIO;
  int log_fd = -1;
};

Plan g_plan;
std::atomic<bool> g_armed{false};

// Depth of the hint scopes of the calling thread.
thread_local unsigned t_hint_depth = 0;
std::atomic<std::uint64_t> g_counts[k_kind_count];

// Paths of open handles, indexed by descriptor; owned through malloc so that noting one is not
// itself an allocation the plan counts.
constexpr std::size_t k_handle_slots = 4096;
std::atomic<char*> g_handle_paths[k_handle_slots];

[[noreturn]] void refuse_plan(std::string_view why, std::string_view item) {
  const std::string_view prefix = "quendal_faults: QUENDAL_FAULTS: ";
  iovec parts[] = {{const_cast<char*>(prefix.data()), prefix.size()},
                   {const_cast<char*>(why.data()), why.size()},
                   {const_cast<char*>(" '"), 2},
                   {const_cast<char*>(item.data()), item.size()},
                   {const_cast<char*>("'\n"), 2}};
  (void)::writev(STDERR_FILENO, parts, 5);
  ::_exit(125);
}

void log_call(Kind kind, std::uint64_t number, std::string_view path) {
  if (g_plan.log_fd < 0) return;
  char digits[24];
  const int length =
      std::snprintf(digits, sizeof digits, "\t%llu\t", static_cast<unsigned long long>(number));
  const std::string_view name = k_kind_names[static_cast<unsigned>(kind)];
  iovec parts[] = {{const_cast<char*>(name.data()), name.size()},
                   {digits, static_cast<std::size_t>(length)},
                   {const_cast<char*>(path.data()), path.size()},
                   {const_cast<char*>("\n"), 1}};
  (void)::writev(g_plan.log_fd, parts, 4);
}

bool parse_number(std::string_view text, std::uint64_t& out) {
  if (text.empty()) return false;
  out = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || out > (UINT64_MAX - 9) / 10) return false;
    out = out * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return true;
}

void apply_item(std::string_view item) {
  const std::size_t equals = item.find('=');
  const std::string_view name = item.substr(0, equals);
  const std::string_view value = equals == std::string_view::npos ? "" : item.substr(equals + 1);
  if (name == "count" && equals == std::string_view::npos) {
    g_plan.count_only = true;
  } else if (name == "repeat" && equals == std::string_view::npos) {
    g_plan.repeat = true;
  } else if (name == "kind") {
    for (unsigned i = 0; i < k_kind_count; ++i) {
      if (value == k_kind_names[i]) {
        g_plan.kind = static_cast<Kind>(i);
        g_plan.has_target = true;
        return;
      }
    }
    refuse_plan("unknown kind", item);
  } else if (name == "call") {
    if (!parse_number(value, g_plan.call) || g_plan.call == 0) refuse_plan("bad call", item);
  } else if (name == "error") {
    if (value == "EIO")
      g_plan.error = EIO;
    else if (value == "ENOSPC")
      g_plan.error = ENOSPC;
    else if (value == "EACCES")
      g_plan.error = EACCES;
    else if (value == "ENOMEM")
      g_plan.error = ENOMEM;
    else
      refuse_plan("unknown error", item);
  } else if (name == "log") {
    char path[4096];
    if (value.empty() || value.size() >= sizeof path) refuse_plan("bad log path", item);
    std::memcpy(path, value.data(), value.size());
    path[value.size()] = '\0';
    g_plan.log_fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (g_plan.log_fd < 0) refuse_plan("cannot open the log", item);
  } else {
    refuse_plan("unknown item", item);
  }
}

}  // namespace

void arm_from_environment() {
  const char* text = ::getenv("QUENDAL_FAULTS");
  if (text == nullptr || *text == '\0') return;
  std::string_view rest(text);
  while (!rest.empty()) {
    const std::size_t end = rest.find(';');
    const std::string_view item = rest.substr(0, end);
    if (!item.empty()) apply_item(item);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  if (g_plan.has_target == g_plan.count_only) {
    refuse_plan("needs either count or kind=K;call=N", text);
  }
  if (g_plan.has_target && g_plan.call == 0) refuse_plan("kind without call", text);
  g_armed.store(true);
}

void enter_hint_scope() { ++t_hint_depth; }
void leave_hint_scope() { --t_hint_depth; }

int injected(Kind kind, std::string_view path) {
  if (!g_armed.load(std::memory_order_relaxed) || t_hint_depth > 0) return 0;
  const std::uint64_t number = ++g_counts[static_cast<unsigned>(kind)];
  if (g_plan.count_only) {
    log_call(kind, number, path);
    return 0;
  }
  if (kind != g_plan.kind || number < g_plan.call || (number > g_plan.call && !g_plan.repeat)) {
    return 0;
  }
  log_call(kind, number, path);
  return g_plan.error;
}

void note_handle(std::intptr_t handle, std::string_view path) {
  if (!g_armed.load(std::memory_order_relaxed)) return;
  if (handle < 0 || static_cast<std::size_t>(handle) >= k_handle_slots) return;
  char* copy = static_cast<char*>(::malloc(path.size() + 1));
  if (copy != nullptr) {
    std::memcpy(copy, path.data(), path.size());
    copy[path.size()] = '\0';
  }
  ::free(g_handle_paths[handle].exchange(copy));
}

void forget_handle(std::intptr_t handle) {
  if (handle < 0 || static_cast<std::size_t>(handle) >= k_handle_slots) return;
  ::free(g_handle_paths[handle].exchange(nullptr));
}

int injected_on_handle(Kind kind, std::intptr_t handle) {
  if (!g_armed.load(std::memory_order_relaxed)) return 0;
  const char* path = handle >= 0 && static_cast<std::size_t>(handle) < k_handle_slots
                         ? g_handle_paths[handle].load()
                         : nullptr;
  return injected(kind, path == nullptr ? std::string_view("(unknown handle)") : path);
}

}  // namespace quendal::platform::fault

// ---- Allocation ----
// Every allocation of the program goes through these, on every thread. The aligned forms keep
// their alignment through aligned_alloc, whose blocks free() releases like the others.

namespace {

using quendal::platform::fault::injected;
using quendal::platform::fault::Kind;

void* allocate(std::size_t size, std::size_t alignment) {
  if (injected(Kind::allocation, {}) != 0) return nullptr;
  if (size == 0) size = 1;
  if (alignment <= alignof(std::max_align_t)) return ::malloc(size);
  // aligned_alloc wants a size that is a multiple of the alignment.
  return ::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* allocate_or_throw(std::size_t size, std::size_t alignment) {
  void* block = allocate(size, alignment);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

void* operator new(std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new[](std::size_t size) { return allocate_or_throw(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* block) noexcept { ::free(block); }
void operator delete[](void* block) noexcept { ::free(block); }
void operator delete(void* block, std::size_t) noexcept { ::free(block); }
void operator delete[](void* block, std::size_t) noexcept { ::free(block); }
void operator delete(void* block, std::align_val_t) noexcept { ::free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { ::free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { ::free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { ::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { ::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { ::free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  ::free(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  ::free(block);
}
