// The few C++ runtime hooks the stream classes' vtables refer to, defined here
// so that the installer links none of the C++ library (and stays small).
#include <cstddef>
#include <cstdlib>

// Streams live on the stack, but the deleting destructors in their vtables
// still name these. Nothing is allocated with new, so nothing reaches them.
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

// A call through a pure virtual slot is a programming error: stop at once.
extern "C" void __cxa_pure_virtual() { std::abort(); }
