// The bounded text builder of every report.
#include "frame/text_builder.h"

#include <cstdarg>
#include <cstring>

namespace velt::zur::memory::detail {

bool TextBuilder::append(const char* format, ...) {
    if (cut_ || capacity_ == 0)
        return false;
    for (bool retried = false;; retried = true) {
        const std::size_t space = capacity_ - length_;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(buffer_ + length_, space, format, args);
        va_end(args);
        if (n >= 0 && static_cast<std::size_t>(n) < space) {
            length_ += static_cast<std::size_t>(n);
            return true;
        }
        buffer_[length_] = '\0'; // a piece that does not fit is left out whole
        if (n < 0 || retried || !makeRoom(static_cast<std::size_t>(n))) {
            cut_ = true;
            return false;
        }
    }
}

bool TextBuilder::appendRaw(const char* text, std::size_t count) {
    if (cut_ || capacity_ == 0)
        return false;
    if (count > room() && !makeRoom(count)) {
        cut_ = true;
        return false;
    }
    std::memcpy(buffer_ + length_, text, count);
    length_ += count;
    buffer_[length_] = '\0';
    return true;
}

bool TextBuilder::appendText(const char* text) { return appendRaw(text, std::strlen(text)); }

void TextBuilder::flush() {
    if (file_ == nullptr || length_ == 0)
        return;
    std::fwrite(buffer_, 1, length_, file_);
    length_ = 0;
    buffer_[0] = '\0';
}

bool TextBuilder::makeRoom(std::size_t count) {
    if (file_ == nullptr || count >= capacity_)
        return false;
    flush();
    return true;
}

const char* formatNumber(NumberArea& area, std::int32_t value, bool restart) {
    std::size_t pos = (restart || !area.used) ? 0 : area.next;
    // A result that would not fit behind the previous ones starts the area again.
    if (pos + kMaxNumberText > sizeof area.text)
        pos = 0;
    char reversed[kMaxNumberText];
    std::size_t n = 0;
    std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value)
                                        : static_cast<std::uint32_t>(value);
    int inGroup = 0;
    do {
        if (inGroup == 3) {
            reversed[n++] = '.';
            inGroup = 0;
        }
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
        ++inGroup;
    } while (magnitude != 0);
    if (value < 0)
        reversed[n++] = '-';
    char* out = area.text + pos;
    for (std::size_t i = 0; i < n; ++i)
        out[i] = reversed[n - 1 - i];
    out[n] = '\0';
    area.next = pos + n + 1;
    area.used = true;
    return out;
}

} // namespace velt::zur::memory::detail
