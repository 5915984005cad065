#include "common/byte_buffer.h"

#include <sys/mman.h>

void advise_huge_pages(void* p, std::size_t bytes) {
    ::madvise(p, bytes, MADV_HUGEPAGE);
}
