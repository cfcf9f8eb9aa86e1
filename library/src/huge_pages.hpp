#pragma once
// Huge pages for large buffers (file.cpp).
#include <cstddef>

namespace travune {

// Asks the system to back the whole 2 MiB pages of [data, data + size) with huge pages, where
// it offers them on request: a large buffer written front to back (a model's text takes
// hundreds of MB) then takes one page fault per 2 MiB instead of one per 4 KiB. A hint only;
// nothing else changes, and only the pages written count, either way.
void prefer_huge_pages(void* data, std::size_t size);

}  // namespace travune
