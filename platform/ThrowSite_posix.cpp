// The replacement of the C++ runtime's __cxa_throw (Itanium C++ ABI) and the
// notes it keeps; see ThrowSite.h. Linked as an object file into every
// program: a definition in the executable comes before the C++ library's in
// the dynamic linker's search order, so it sees every throw of the process.
//
// The compiler declares __cxa_throw itself at the first throw expression it
// meets (in a header), with the thrown type's descriptor as a void*: the
// definition below keeps that type, and <cxxabi.h>, which declares it with
// std::type_info*, stays out of this file.
#include "platform/ThrowSite.h"

#include <dlfcn.h>
#include <unwind.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

namespace {

using TCxaThrow = void (*)(void*, void*, void (*)(void*));

struct TThrowNote {
  const void* Object;
  const std::type_info* Type;
  std::uintptr_t Address;
  std::size_t FrameCount;
};

// The notes of one thread. Zero-initialised thread storage without a
// constructor or destructor: reaching it costs no guard.
struct TThreadNotes {
  TThrowNote Notes[ThrowSiteSlots];
  std::uint64_t Count;  // throws seen; the next note goes to Count % ThrowSiteSlots
};
constinit thread_local TThreadNotes Notes{};

// The captured frames of each note, made for a thread on its first throw
// with capture on and released with the thread.
struct TThreadFrames {
  std::uintptr_t Frames[ThrowSiteSlots][ThrowSiteMaxFrames];
};
thread_local std::unique_ptr<TThreadFrames> Frames;

std::atomic<bool> Capture{false};
std::atomic<TCxaThrow> RealThrow{nullptr};

TCxaThrow FindRealThrow() {
  TCxaThrow real = RealThrow.load(std::memory_order_acquire);
  if (!real) {
    // The next definition after this one in the search order: the C++
    // library's (or a sanitizer's, which then calls the C++ library's).
    real = reinterpret_cast<TCxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
    if (!real) std::abort();
    RealThrow.store(real, std::memory_order_release);
  }
  return real;
}

struct TCapture {
  std::uintptr_t Site;
  std::uintptr_t* Out;
  std::size_t Count;
  bool Started;
};

// One frame of the walk: frames inside this file and __cxa_throw are passed
// over until the frame whose return address is the throw site, the
// throwing function's own.
_Unwind_Reason_Code CaptureStep(_Unwind_Context* context, void* arg) {
  auto& capture = *static_cast<TCapture*>(arg);
  int beforeInstruction = 0;
  const std::uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInstruction);
  if (ip == 0) return _URC_END_OF_STACK;
  if (!capture.Started) {
    if (ip != capture.Site) return _URC_NO_REASON;
    capture.Started = true;
  }
  capture.Out[capture.Count++] = ip;
  return capture.Count < ThrowSiteMaxFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

__attribute__((noinline)) std::size_t CaptureFrames(std::uintptr_t site, std::uintptr_t* out) {
  TCapture capture{site, out, 0, false};
  _Unwind_Backtrace(&CaptureStep, &capture);
  return capture.Count;
}

void Note(void* object, const std::type_info* type, std::uintptr_t site) {
  TThreadNotes& notes = Notes;
  const std::size_t slot = notes.Count++ % ThrowSiteSlots;
  TThrowNote& note = notes.Notes[slot];
  note.Object = object;
  note.Type = type;
  note.Address = site;
  note.FrameCount = 0;
  if (!Capture.load(std::memory_order_relaxed)) return;
  if (!Frames) Frames.reset(new (std::nothrow) TThreadFrames);
  if (Frames) note.FrameCount = CaptureFrames(site, Frames->Frames[slot]);
}

}  // namespace

// AddressSanitizer's own replacement of __cxa_throw steps aside for this one;
// its work (forgetting the poisoned stack being unwound) is done here.
extern "C" void __asan_handle_no_return() __attribute__((weak));

// Notes a throw and returns the C++ library's __cxa_throw, which the
// replacement below then enters in its own place.
extern "C" __attribute__((visibility("hidden"), used)) TCxaThrow NoteThrowSite(void* object, void* type,
                                                                               std::uintptr_t site) noexcept {
  Note(object, static_cast<const std::type_info*>(type), site);
  if (__asan_handle_no_return) __asan_handle_no_return();
  return FindRealThrow();
}

// The replacement of __cxa_throw. On x86-64 it notes the throw and jumps to
// the C++ library's __cxa_throw with the arguments and the stack as it found
// them: the unwinder never meets a frame of its own, so a throw costs the
// call of NoteThrowSite more, nothing else. Elsewhere it calls the library's
// __cxa_throw, which then unwinds one frame more.
#if defined(__x86_64__)
asm(R"(
  .text
  .globl __cxa_throw
  .type __cxa_throw, @function
__cxa_throw:
  .cfi_startproc
  pushq %rdi
  .cfi_adjust_cfa_offset 8
  pushq %rsi
  .cfi_adjust_cfa_offset 8
  pushq %rdx
  .cfi_adjust_cfa_offset 8
  movq 24(%rsp), %rdx
  call NoteThrowSite
  popq %rdx
  .cfi_adjust_cfa_offset -8
  popq %rsi
  .cfi_adjust_cfa_offset -8
  popq %rdi
  .cfi_adjust_cfa_offset -8
  jmp *%rax
  .cfi_endproc
  .size __cxa_throw, .-__cxa_throw
)");
#else
extern "C" [[noreturn]] void __cxa_throw(void* object, void* type, void (*destructor)(void*)) {
  NoteThrowSite(object, type, reinterpret_cast<std::uintptr_t>(__builtin_return_address(0)))(object, type, destructor);
  __builtin_unreachable();
}
#endif

void SetThrowStackCapture(bool on) {
  Capture.store(on, std::memory_order_relaxed);
}

bool ThrowStackCapture() {
  return Capture.load(std::memory_order_relaxed);
}

bool FindThrowSite(const void* object, const std::type_info* type, TThrowSite& site) {
  const TThreadNotes& notes = Notes;
  const std::size_t kept = notes.Count < ThrowSiteSlots ? static_cast<std::size_t>(notes.Count) : ThrowSiteSlots;
  for (std::size_t i = 1; i <= kept; ++i) {
    const std::size_t slot = (notes.Count - i) % ThrowSiteSlots;
    const TThrowNote& note = notes.Notes[slot];
    if (note.Object != object) continue;
    if (type && note.Type && *note.Type != *type) return false;
    site.Address = note.Address;
    site.FrameCount = Frames ? note.FrameCount : 0;
    if (site.FrameCount) std::memcpy(site.Frames, Frames->Frames[slot], site.FrameCount * sizeof(std::uintptr_t));
    return true;
  }
  return false;
}

bool CurrentExceptionObject(const void*& object, const std::type_info*& type) {
  const std::exception_ptr current = std::current_exception();
  if (!current) return false;
  // The C++ library's exception_ptr is the address of the thrown object
  // itself (the primary exception's object, also for a rethrown one).
  static_assert(sizeof(current) == sizeof(void*));
  void* thrown = nullptr;
  std::memcpy(&thrown, static_cast<const void*>(&current), sizeof thrown);
  object = thrown;
  type = current.__cxa_exception_type();
  return object != nullptr;
}

bool CurrentThrowSite(TThrowSite& site) {
  const void* object = nullptr;
  const std::type_info* type = nullptr;
  return CurrentExceptionObject(object, type) && FindThrowSite(object, type, site);
}

std::uint64_t ThrowsSeen() {
  return Notes.Count;
}
