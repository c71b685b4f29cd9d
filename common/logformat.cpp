#include "common/logformat.h"

#include <algorithm>
#include <cstring>

namespace vorn {

namespace {

enum class Size { Char, Short, Int, Long, LongLong, SizeT };

// The directive at format[i] (just after '%'): its length modifier and
// conversion, and the index after it. False when it is not one this path
// handles.
bool ParseDirective(const char* format, size_t& i, Size& size, char& conversion) {
    size = Size::Int;
    if (format[i] == 'h') {
        size = format[i + 1] == 'h' ? (++i, Size::Char) : Size::Short;
        ++i;
    } else if (format[i] == 'l') {
        size = format[i + 1] == 'l' ? (++i, Size::LongLong) : Size::Long;
        ++i;
    } else if (format[i] == 'z') {
        size = Size::SizeT;
        ++i;
    }
    conversion = format[i];
    switch (conversion) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
            ++i;
            return true;
        case 's':
        case '%':
            ++i;
            return size == Size::Int;  // no %ls (wide) or %l%
        default:
            return false;
    }
}

class Output {
public:
    Output(char* out, size_t room) : m_out(out), m_room(room) {}
    void Put(const char* text, size_t n) {
        if (m_length + 1 < m_room) {
            const size_t fit = std::min(n, m_room - 1 - m_length);
            memcpy(m_out + m_length, text, fit);
        }
        m_length += n;
    }
    void Finish() {
        if (m_room != 0) {
            m_out[std::min(m_length, m_room - 1)] = '\0';
        }
    }
    size_t Length() const { return m_length; }

private:
    char* m_out;
    size_t m_room;
    size_t m_length = 0;
};

// The base is a template argument so that the division is by a constant (a
// multiplication), not the slow instruction a run-time divisor needs.
template <unsigned Base>
void PutInteger(Output& out, unsigned long long magnitude, bool negative, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char text[24];
    size_t n = 0;
    do {
        text[sizeof text - ++n] = digits[magnitude % Base];
        magnitude /= Base;
    } while (magnitude != 0);
    if (negative) {
        text[sizeof text - ++n] = '-';
    }
    out.Put(text + sizeof text - n, n);
}

void PutSigned(Output& out, long long value) {
    const bool negative = value < 0;
    const unsigned long long magnitude = negative ? 0ULL - static_cast<unsigned long long>(value)
                                                  : static_cast<unsigned long long>(value);
    PutInteger<10>(out, magnitude, negative, false);
}

}  // namespace

bool IsPlainFormat(const char* format) {
    // From one '%' to the next: the library's search is many times faster
    // than a loop over every character of the text between.
    for (const char* percent = strchr(format, '%'); percent != nullptr;
         percent = strchr(format, '%')) {
        size_t i = static_cast<size_t>(percent - format) + 1;
        Size size;
        char conversion;
        if (!ParseDirective(format, i, size, conversion)) {
            return false;
        }
        format += i;
    }
    return true;
}

void FormatCheckedPlain(char* out, size_t room, const char* format, va_list args, size_t& length) {
    Output text(out, room);
    for (size_t i = 0; format[i] != '\0';) {
        const char* run = format + i;
        const char* percent = strchrnul(run, '%');
        text.Put(run, static_cast<size_t>(percent - run));
        if (*percent == '\0') {
            break;
        }
        i = static_cast<size_t>(percent - format) + 1;
        Size size;
        char conversion;
        (void)ParseDirective(format, i, size, conversion);
        if (conversion == '%') {
            text.Put("%", 1);
        } else if (conversion == 's') {
            const char* value = va_arg(args, const char*);
            // As the C library prints it.
            if (value == nullptr) {
                value = "(null)";
            }
            text.Put(value, strlen(value));
        } else if (conversion == 'd' || conversion == 'i') {
            long long value = 0;
            switch (size) {
                case Size::Char:
                    // %hhd prints the argument as the signed char it was.
                    // NOLINTNEXTLINE(bugprone-signed-char-misuse): the sign is wanted
                    value = static_cast<signed char>(va_arg(args, int));
                    break;
                case Size::Short:
                    value = static_cast<short>(va_arg(args, int));
                    break;
                // NOLINTNEXTLINE(bugprone-branch-clone): va_arg of different types
                case Size::Int:
                    value = va_arg(args, int);
                    break;
                case Size::Long:
                case Size::SizeT:  // %zd: the signed type of size_t's width
                    value = va_arg(args, long);
                    break;
                case Size::LongLong:
                    value = va_arg(args, long long);
                    break;
            }
            PutSigned(text, value);
        } else {
            unsigned long long value = 0;
            switch (size) {
                case Size::Char:
                    value = static_cast<unsigned char>(va_arg(args, unsigned));
                    break;
                case Size::Short:
                    value = static_cast<unsigned short>(va_arg(args, unsigned));
                    break;
                case Size::Int:
                    value = va_arg(args, unsigned);
                    break;
                case Size::Long:
                case Size::SizeT:  // size_t is unsigned long here
                    static_assert(sizeof(size_t) == sizeof(unsigned long), "size_t width");
                    value = va_arg(args, unsigned long);
                    break;
                case Size::LongLong:
                    value = va_arg(args, unsigned long long);
                    break;
            }
            if (conversion == 'u') {
                PutInteger<10>(text, value, false, false);
            } else {
                PutInteger<16>(text, value, false, conversion == 'X');
            }
        }
    }
    text.Finish();
    length = text.Length();
}

}  // namespace vorn
