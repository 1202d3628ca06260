#pragma once
// Where C++ exceptions were thrown.
//
// The C++ runtime's throw entry point, __cxa_throw, is replaced in every
// program that links the platform layer (ThrowSite_posix.cpp is an object
// library added to each consumer's link, so no link can drop it; see
// platform/CMakeLists.txt). For every throw expression in the process, in
// our code, the C++ library or the toolkit, the replacement notes
//   - the thrown object's address and type, which identify the exception,
//   - the throw site: the return address of the call to __cxa_throw inside
//     the throwing function (a return address: the throw statement itself
//     lies one byte before it),
//   - while stack capture is on (SetThrowStackCapture), the return addresses
//     of the throwing stack from the throwing function outward (addresses
//     only; nothing is resolved at throw time),
// then hands the throw to the C++ runtime's own __cxa_throw, leaving no frame
// of its own on the stack (on x86-64). With capture off, a throw costs one
// call, a flag test and a few stores more than without it.
//
// The notes are kept per thread, in a ring of the last ThrowSiteSlots
// throws: a nested exception, thrown while another is being handled, has
// its own note, and the outer one survives until ThrowSiteSlots further
// throws on that thread. A rethrow (`throw;`, std::rethrow_exception) throws
// the same object again and keeps the note of its original throw. An
// exception object made without a throw expression (std::make_exception_ptr)
// has no note of its own; the type check below keeps it from taking another
// one's, except for a freed object of the same type at the same address.
//
// Threads: every call may be made from any thread and sees that thread's
// throws only.
#include <cstddef>
#include <cstdint>
#include <typeinfo>

// Throws whose notes a thread keeps.
inline constexpr std::size_t ThrowSiteSlots = 16;
// Return addresses a note keeps at most; a deeper stack keeps its innermost.
inline constexpr std::size_t ThrowSiteMaxFrames = 128;

struct TThrowSite {
  // Return address of the call to __cxa_throw in the throwing function.
  std::uintptr_t Address = 0;
  // With capture on: the return addresses from the throwing function
  // outward; Frames[0] is Address. 0 frames with capture off.
  std::size_t FrameCount = 0;
  std::uintptr_t Frames[ThrowSiteMaxFrames] = {};
};

// Stack capture on every throw, process-wide. Off at start.
void SetThrowStackCapture(bool on);
bool ThrowStackCapture();

// The note of the newest throw on this thread of the object at `object` of
// type `type` (`type` null: any type). False when there is none.
bool FindThrowSite(const void* object, const std::type_info* type, TThrowSite& site);

// The exception the calling thread is handling now (the innermost catch
// block it is in): its object's address and type. False outside any
// handler.
bool CurrentExceptionObject(const void*& object, const std::type_info*& type);

// The note of the exception being handled now. False outside any handler
// or when that exception has no note.
bool CurrentThrowSite(TThrowSite& site);

// Throws seen on this thread since it started, notes or not: for tests
// that the replacement is linked.
std::uint64_t ThrowsSeen();
