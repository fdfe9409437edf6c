// Standard containers whose storage comes from the interpreter's allocator (PyMem_Malloc), so that
// the interpreter's memory accounting and allocation hooks see them like any other allocation of
// the extension. Use them only on a thread attached to the interpreter (holding the GIL).
//
// A failed allocation throws std::bad_alloc, as the standard containers require. No C++ exception
// may cross the interpreter's C frames: every function that CPython calls and that reaches such a
// container turns it into MemoryError (with_memory_error), and whatever the code in between holds
// is released on the way out (references in Ref, the recursion guard in RecursionGuard).
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <new>
#include <string>
#include <vector>

namespace mirtal {

template <typename T>
struct PyMemAllocator {
    using value_type = T;

    PyMemAllocator() noexcept = default;
    template <typename U>
    PyMemAllocator(const PyMemAllocator<U>&) noexcept {}

    T* allocate(size_t n) {
        if (n > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(T)) throw std::bad_alloc();
        void* memory = PyMem_Malloc(n * sizeof(T));
        if (!memory) throw std::bad_alloc();
        return static_cast<T*>(memory);
    }
    void deallocate(T* memory, size_t) noexcept { PyMem_Free(memory); }

    template <typename U>
    bool operator==(const PyMemAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using Vector = std::vector<T, PyMemAllocator<T>>;
using String = std::basic_string<char, std::char_traits<char>, PyMemAllocator<char>>;

// `body()` (returning a Ref), with a std::bad_alloc thrown inside it turned into MemoryError.
template <typename Body>
Ref with_memory_error(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return Ref();
    }
}

// Py_EnterRecursiveCall's counterpart, also when an exception unwinds the level.
class RecursionGuard {
public:
    // True when the level may go on; false with RecursionError set.
    bool enter(const char* where) {
        entered_ = Py_EnterRecursiveCall(where) == 0;
        return entered_;
    }
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }

private:
    bool entered_ = false;
};

}  // namespace mirtal
