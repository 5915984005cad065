// A byte buffer for data that is written in full before it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

/// Asks for huge pages for the memory at `p` (a hint; ignored where the
/// system has none for ordinary programs). It belongs to the platform layer
/// (common/platform/posix.cpp, windows.cpp).
void advise_huge_pages(void* p, std::size_t bytes);

/// An allocator for buffers that are filled at once (by a read or a decoder).
/// New elements are left uninitialised, and a large buffer is placed on huge
/// pages where the system offers them: on virtual machines, zeroing and
/// faulting in tens of MiB page by page only to overwrite them took longer
/// than the work itself.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    static constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < HUGE_PAGE) {
            return std::allocator<T>::allocate(n);
        }
        // Aligned operator new (not std::aligned_alloc, which Windows' C
        // runtime lacks); it throws std::bad_alloc itself.
        void* p = ::operator new ((bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE,
                                  std::align_val_t{HUGE_PAGE});
        advise_huge_pages(p, bytes);
        return static_cast<T*>(p);
    }
    void deallocate(T* p, std::size_t n) {
        if (n * sizeof(T) < HUGE_PAGE) {
            std::allocator<T>::deallocate(p, n);
        } else {
            ::operator delete (p, std::align_val_t{HUGE_PAGE});
        }
    }
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

/// Bytes that are written before they are read: a whole file's contents, or
/// a decoder's output. New bytes are not zeroed.
using ByteBuffer = std::vector<std::uint8_t, UninitializedAllocator<std::uint8_t>>;
