#include "service/errors/BaseException.h"

#include "service/errors/ErrorText.h"

#include <charconv>
#include <cstring>

bool BaseException::hasMessage() const {
    return what() != nullptr;
}

const char* BaseException::messageLine(unsigned line) const {
    return line == 0 ? what() : nullptr;
}

namespace {

// Appends pieces to a fixed buffer, cutting each to what is left of the budget.
class MessageBuilder {
public:
    MessageBuilder(char* buffer, std::size_t budget) : buffer_(buffer), budget_(budget) {}

    bool full() const { return used_ >= budget_; }
    std::size_t left() const { return budget_ - used_; }
    char* end() const { return buffer_ + used_; }

    void append(const char* text, std::size_t length) {
        const std::size_t count = length < left() ? length : left();
        std::memcpy(end(), text, count);
        used_ += count;
    }
    void append(const char* text) {
        if (text != nullptr)
            append(text, std::strlen(text));
    }
    void appendNumber(std::int64_t value, int base) {
        char digits[24];
        const auto result = std::to_chars(digits, digits + sizeof digits, value, base);
        append(digits, static_cast<std::size_t>(result.ptr - digits));
    }
    void advance(std::size_t count) { used_ += count < left() ? count : left(); }
    void terminate() { buffer_[used_] = '\0'; }

private:
    char* buffer_;
    std::size_t budget_;
    std::size_t used_ = 0;
};

} // namespace

LastErrorException::LastErrorException(const char* functionName, const char* messageFormat)
    : LastErrorException(functionName, lastSystemError(), messageFormat) {}

LastErrorException::LastErrorException(const char* functionName, std::uint32_t errorCode,
                                       const char* messageFormat)
    : functionName_(functionName), messageFormat_(messageFormat), errorCode_(errorCode) {}

LastErrorException::LastErrorException(const LastErrorException& other)
    : BaseException(other), functionName_(other.functionName_),
      messageFormat_(other.messageFormat_), errorCode_(other.errorCode_) {}

LastErrorException& LastErrorException::operator=(const LastErrorException& other) {
    BaseException::operator=(other);
    functionName_ = other.functionName_;
    messageFormat_ = other.messageFormat_;
    errorCode_ = other.errorCode_;
    message_[0] = '\0';
    formatted_ = false;
    return *this;
}

const char* LastErrorException::what() const noexcept {
    if (formatted_)
        return message_;

    MessageBuilder message(message_, messageCapacity);
    const char* format = messageFormat_ != nullptr ? messageFormat_ : "";
    while (*format != '\0' && !message.full()) {
        const char c = *format++;
        if (c != '%') {
            message.append(&c, 1);
            continue;
        }
        const char conversion = *format;
        if (conversion == '\0')
            break; // a lone '%' at the end has nothing to convert
        ++format;
        switch (conversion) {
        case 'a':
            message.append(functionName_);
            break;
        case 'd':
            message.appendNumber(static_cast<std::int32_t>(errorCode_), 10);
            break;
        case 'x':
            message.appendNumber(errorCode_, 16);
            break;
        case 'r':
            message.advance(formatErrorText(errorCode_, message.end(), message.left()));
            break;
        default:
            message.append(&conversion, 1);
            break;
        }
    }
    message.terminate();
    formatted_ = true;
    return message_;
}
