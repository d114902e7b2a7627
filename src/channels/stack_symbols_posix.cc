// The crash handler's call stacks on Linux with glibc: gcc's libbacktrace
// (unwinding, DWARF and symbol tables, its memory from mmap), libiberty's
// demangler (into a callback, no heap) and _dl_find_object for the module of
// an address; all usable inside a signal handler once prepared.
#include "channels/crash_platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <ucontext.h>

#include CORE_LOGGER_BACKTRACE_HEADER
// libiberty.h declares basename() unless told that the C library does.
#define HAVE_DECL_BASENAME 1
#include <libiberty/demangle.h>

#include <atomic>
#include <cstring>

#include "channels/crash_handler.h"

namespace core::logger::crash_platform {
namespace {

using crash_detail::FixedText;

constexpr std::size_t kMaxName = 1024;

std::atomic<backtrace_state*> g_symbols{nullptr};

void ignore_error(void*, const char*, int) {}

struct Demangled {
  FixedText text;
};

void put_piece(const char* piece, std::size_t length, void* user) {
  static_cast<Demangled*>(user)->text.put(std::string_view(piece, length));
}

std::string_view demangle(const char* name, int options, char* out, std::size_t size) noexcept {
  if (name == nullptr) return {};
  Demangled demangled{FixedText(out, size)};
  if (cplus_demangle_v3_callback(name, options, &put_piece, &demangled) != 0) return demangled.text.view();
  return name;
}

struct Describe {
  bool (*each)(void*, const Frame&);
  void* user;
  bool go_on = true;
  // The frame seen last, told once the next one shows it was not the
  // outermost.
  bool pending = false;
  const char* file = nullptr;
  int line = 0;
  const char* function = nullptr;
};

void take_symbol(void* data, std::uintptr_t, const char* name, std::uintptr_t, std::uintptr_t) {
  *static_cast<const char**>(data) = name;
}

bool is_mangled(const char* name) { return name[0] == '_' && name[1] == 'Z'; }

void tell_frame(Describe& describe, std::uintptr_t address, bool outermost) {
  const char* function = describe.function;
  // The debug information may name a function without its scope and
  // parameters (a member defined out of its class); the symbol table names
  // the function that holds the code in full.
  backtrace_state* const state = g_symbols.load(std::memory_order_acquire);
  if (state != nullptr && (function == nullptr || (outermost && !is_mangled(function)))) {
    const char* symbol = nullptr;
    backtrace_syminfo(state, address, &take_symbol, &ignore_error, &symbol);
    if (symbol != nullptr) function = symbol;
  }
  char name[kMaxName];
  const char* file = describe.file;
  Frame frame{demangle(function, DMGL_PARAMS | DMGL_ANSI, name, sizeof name),
              file != nullptr ? std::string_view(file) : std::string_view(),
              file != nullptr && describe.line > 0 ? static_cast<std::uint32_t>(describe.line) : 0,
              std::string_view(), address};
  dl_find_object object;
  if (_dl_find_object(reinterpret_cast<void*>(address), &object) == 0 && object.dlfo_link_map != nullptr) {
    const char* path = object.dlfo_link_map->l_name;
    if (path == nullptr || *path == '\0') path = program_invocation_short_name;
    const char* slash = std::strrchr(path, '/');
    frame.module = slash != nullptr ? slash + 1 : path;
    frame.offset = address - object.dlfo_link_map->l_addr;
  }
  describe.go_on = describe.each(describe.user, frame);
}

int take_frame(void* data, std::uintptr_t address, const char* file, int line, const char* function) {
  Describe& describe = *static_cast<Describe*>(data);
  if (describe.pending) tell_frame(describe, address, false);
  describe.pending = describe.go_on;
  describe.file = file;
  describe.line = line;
  describe.function = function;
  return describe.go_on ? 0 : 1;
}

struct Walk {
  std::uintptr_t crash_address;  // 0: start at the return address
  std::uintptr_t return_address;
  std::uintptr_t* addresses;
  std::size_t capacity;
  std::size_t count = 0;
  bool started = false;
};

int take_address(void* data, std::uintptr_t address) {
  Walk& walk = *static_cast<Walk*>(data);
  if (address == 0 || address == ~std::uintptr_t{0}) return 1;  // the end, or where the unwinder lost track
  if (!walk.started) {
    // The signal frame comes as the interrupted instruction itself; a
    // caller's frame as its return address less one.
    walk.started =
        walk.crash_address != 0 ? address == walk.crash_address : address + 1 == walk.return_address;
    if (!walk.started) return 0;
  }
  walk.addresses[walk.count++] = address;
  if (walk.count == walk.capacity) return 1;
  // Code in no module (a call through a bad pointer): the unwinder would
  // read the instructions there to find a signal frame, and fault.
  dl_find_object object;
  return address == walk.crash_address && _dl_find_object(reinterpret_cast<void*>(address), &object) != 0;
}

}  // namespace

void prepare_symbolizer() noexcept {
  static backtrace_state* const state = [] {
    backtrace_state* made = backtrace_create_state(nullptr, /*threaded=*/1, &ignore_error, nullptr);
    // The first lookup reads the debug information of every loaded module.
    if (made != nullptr) {
      backtrace_pcinfo(
          made, reinterpret_cast<std::uintptr_t>(&prepare_symbolizer),
          [](void*, std::uintptr_t, const char*, int, const char*) { return 0; }, &ignore_error, nullptr);
    }
    return made;
  }();
  g_symbols.store(state, std::memory_order_release);
}

std::size_t walk_stack(const WalkStart& start, std::uintptr_t* addresses, std::size_t capacity) noexcept {
  backtrace_state* const state = g_symbols.load(std::memory_order_acquire);
  if (state == nullptr || capacity == 0) return 0;
  Walk walk{0, reinterpret_cast<std::uintptr_t>(start.return_address), addresses,
            capacity < kMaxAddresses ? capacity : kMaxAddresses};
  if (start.crash_context != nullptr) {
    const auto* context = static_cast<const ucontext_t*>(start.crash_context);
    walk.crash_address = static_cast<std::uintptr_t>(context->uc_mcontext.gregs[REG_RIP]);
  }
  backtrace_simple(state, 0, &take_address, &ignore_error, &walk);
  // An unwinder that could not step through the signal frame still gives
  // the crash site.
  if (walk.count == 0 && walk.crash_address != 0) addresses[walk.count++] = walk.crash_address;
  return walk.count;
}

bool describe_address(std::uintptr_t address, bool (*each)(void*, const Frame&), void* user) noexcept {
  Describe describe{each, user};
  if (backtrace_state* const state = g_symbols.load(std::memory_order_acquire)) {
    backtrace_pcinfo(state, address, &take_frame, &ignore_error, &describe);
  }
  // Without debug information the symbol table still names the function.
  if (describe.go_on) tell_frame(describe, address, true);
  return describe.go_on;
}

std::string_view demangle_type(const char* mangled, char* out, std::size_t size) noexcept {
  if (mangled != nullptr && *mangled == '*') ++mangled;  // a type local to a unit
  return demangle(mangled, DMGL_PARAMS | DMGL_ANSI | DMGL_TYPES, out, size);
}

}  // namespace core::logger::crash_platform
