#pragma once
// What a code address is in this process: the loaded module that holds it
// (the executable, a shared library, the kernel's vDSO), its offset from the
// start of the executable's code section, the nearest symbol a shared
// library exports for it, and the return addresses of the current stack.
//
// On Linux a module is what the dynamic loader lists (dl_iterate_phdr). An
// address belongs to a module when one of the module's loaded segments
// (PT_LOAD) holds it; heap, stack and anonymous mappings belong to none.
// The executable's code offset counts from the start of its ".text"
// section, whose link-time address comes from the section headers of
// /proc/self/exe:
//   offset = address - load base - address of .text
// where the load base is the loader's load bias (0 for an executable that
// is not position-independent). Map files of the executable count their
// offsets the same way.
//
// Threads: every call may be made from any thread; none keeps state except
// the cached .text address, which is computed once under the C++ runtime's
// guard for static locals. Only CaptureStack is meant for a signal handler
// (see there).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A loaded module.
struct TCodeModule {
  // The module's file as the loader knows it: a full path for libraries
  // found through the search path, "linux-vdso.so.1" for the vDSO, the
  // target of /proc/self/exe (read once) for the executable.
  std::string FileName;
  // The load bias: a run-time address is the module's link-time address
  // plus LoadBase.
  std::uintptr_t LoadBase = 0;
  // The module is the program's executable (the first module the loader lists).
  bool MainExecutable = false;
};

// The module whose loaded segments hold address. False, module untouched,
// when no module holds it. Takes the loader's lock and allocates the name:
// not for a signal handler.
bool FindCodeModule(std::uintptr_t address, TCodeModule& module);

// The link-time address of the executable's ".text" section. Read once from
// /proc/self/exe and cached for the life of the process, failure included:
// false when the file cannot be read, is not an ELF file of this machine's
// class, or has no ".text" section.
bool ExecutableTextAddress(std::uintptr_t& address);

// The code offset of address inside the executable (see above). False,
// offset untouched, when address is in no module or in another module than
// the executable, or when the .text address is unknown. An address of the
// executable outside .text (its PLT, its data) still gets an offset, below
// 0 (wrapped) or past the end of .text.
bool ExecutableCodeOffset(std::uintptr_t address, std::uintptr_t& offset);

// The address of the ".text" section in the section headers of an ELF file
// of this machine's class and byte order, given as its bytes or by name.
// Every offset, count and size the file gives is checked against the bytes
// really there: a damaged file gives false, never a read outside it. The
// file is read in pieces (headers, the section-name table), not whole.
bool ElfTextSectionAddress(std::string_view image, std::uintptr_t& address);
bool ElfTextSectionAddress(const std::string& fileName, std::uintptr_t& address);

// Which build an ELF file of this machine's class and byte order is, as a
// map file names the executable it was made from:
//   "gnu-build-id <hex>"  the GNU build-id note its linker wrote, in
//                         lower-case hexadecimal (strip keeps the note, so a
//                         stripped copy is the same build);
//   "text <size> <hash>"  without one: the size of its ".text" section (at
//                         least 8 upper-case hexadecimal digits) and the
//                         64-bit FNV-1a hash of the section's bytes (16).
// Empty when the file has neither or is no such ELF file. Every offset,
// count and size the file gives is checked against the bytes really there.
std::string ElfIdentity(std::string_view image);
std::string ElfIdentity(const std::string& fileName);
// The identity of the running executable (/proc/self/exe), read once.
const std::string& ExecutableIdentity();

// The nearest symbol at or below address that the module holding address
// exports through its dynamic symbol table, as the loader's dladdr finds
// it: its raw (mangled) name and its run-time address. False, outputs
// untouched, when address is in no module or the module exports no symbol
// that covers it. An executable exports symbols only when linked with
// -rdynamic; static functions are never exported, so an address inside one
// gives the exported symbol before it, or nothing.
bool NearestExportedSymbol(std::uintptr_t address, std::string& name, std::uintptr_t& symbolAddress);

// The file-name part of a path: everything after its last "/".
std::string ModuleBaseName(const std::string& fileName);

// ---------------------------------------------------------------------------
// Stack capture.

// One frame of a captured stack.
struct TCodeFrame {
  // The frame's return address: where its function goes on once the call
  // it is in returns. For the frame a signal interrupted, the address of
  // the interrupted instruction itself (Interrupted true).
  std::uintptr_t Address = 0;
  // The frame's canonical frame address as the unwinder reports it for this
  // frame: a stack address that grows from one frame to the next outer one.
  std::uintptr_t Cfa = 0;
  bool Interrupted = false;
};

// The address whose source line is the frame's current line: a return
// address points after the call, so the call itself lies one byte before.
inline std::uintptr_t CallSiteAddress(const TCodeFrame& frame) {
  return frame.Interrupted || frame.Address == 0 ? frame.Address : frame.Address - 1;
}

// Captures the calling thread's stack into frames, innermost first, with
// the unwinder of the C++ runtime (the .eh_frame tables: it walks through
// code built without frame pointers, and through a signal handler's frame
// into the interrupted code). Frame 0 is the function that called
// CaptureStack; the first skip frames are left out; at most max frames are
// stored. Returns the number stored (0 when nothing could be unwound).
//
// The capture ends at the outermost frame, at max, at a frame without
// unwind tables or return address, or where the frame addresses stop
// growing (a damaged stack). It allocates nothing and takes no locks with
// this system's unwinder (which finds its tables through the loader's
// lock-free _dl_find_object), so a signal handler may call it. A stack whose
// saved registers were overwritten can still make the unwinder itself read
// where it points before any check here can look at it.
std::size_t CaptureStack(TCodeFrame* frames, std::size_t max, std::size_t skip);
