// The one way reports build text: a bounded builder over a buffer of fixed capacity,
// which either holds the whole text (a cut-off piece marks it cut) or is written out to
// a file whenever it fills up; and formatNumber, the grouped decimal numbers of the
// trace, resource and status reports.
#ifndef QJ_FRAME_TEXT_BUILDER_H
#define QJ_FRAME_TEXT_BUILDER_H

#include "frame/hints.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace velt::zur::memory::detail {

// Nothing is ever written past the capacity, and the text is always zero-terminated.
//
// Into a buffer: a piece that does not fit in full is not written at all and marks the
// text as cut; every later piece is refused too, so the text ends at a piece's end.
// Into a file: a piece that does not fit behind the text so far first sends that text to
// the file; only a single piece longer than the whole buffer is refused (and cuts the
// text). The destructor sends what is left.
class TextBuilder {
public:
    // `capacity` counts the terminating zero.
    TextBuilder(char* buffer, std::size_t capacity) : TextBuilder(buffer, capacity, nullptr) {}
    TextBuilder(char* buffer, std::size_t capacity, std::FILE* file)
        : buffer_(buffer), capacity_(capacity), file_(file) {
        if (capacity_ > 0)
            buffer_[0] = '\0';
    }
    ~TextBuilder() { flush(); }
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    // printf-style piece; false when it was left out.
    bool append(const char* format, ...) QJ_PRINTF_FORMAT(2, 3);
    // `count` bytes of `text`, or the zero-terminated `text`.
    bool appendRaw(const char* text, std::size_t count);
    bool appendText(const char* text);

    // Into a file: sends the text so far and empties the buffer. Into a buffer: nothing.
    void flush();

    const char* text() const { return buffer_; }
    std::size_t length() const { return length_; }
    // Characters that still fit before the terminating zero.
    std::size_t room() const { return capacity_ > length_ ? capacity_ - 1 - length_ : 0; }
    bool cut() const { return cut_; }

private:
    // Makes room for `count` characters by sending the text to the file; false when there
    // is no file or the piece would not fit even into the empty buffer.
    bool makeRoom(std::size_t count);

    char* buffer_;
    std::size_t capacity_;
    std::FILE* file_;
    std::size_t length_ = 0;
    bool cut_ = false;
};

// Where formatNumber writes. Every report build owns one, so concurrent builds never share
// an area; a result that would not fit behind the previous ones starts the area again.
struct NumberArea {
    char text[1024] = {};
    std::size_t next = 0;
    bool used = false;
};
// Longest result: "-2.147.483.648" and its terminating zero.
constexpr std::size_t kMaxNumberText = 15;
// `value` in decimal with "." between groups of three digits, written into `area` behind
// the previous results of the same line (`restart`: the first number of a line).
const char* formatNumber(NumberArea& area, std::int32_t value, bool restart);

} // namespace velt::zur::memory::detail

#endif // QJ_FRAME_TEXT_BUILDER_H
