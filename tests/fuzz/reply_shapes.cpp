#include "reply_shapes.h"

#include <cstring>

namespace {

constexpr size_t kReadBytes = 4095;  // what one read of the loop takes

// The loop's view of a line: up to its first NUL, without CRs and LFs at
// the end.
std::string seen_line(const std::string& chunk)
{
    std::string line = chunk.substr(0, std::strlen(chunk.c_str()));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return line;
}

class Reader {
public:
    explicit Reader(const std::string& text) : text_(text) {}

    bool at(const char* literal)
    {
        const size_t length = std::strlen(literal);
        if (text_.compare(position_, length, literal) != 0)
            return false;
        position_ += length;
        return true;
    }
    bool done() const { return position_ == text_.size(); }

    bool json_string()
    {
        if (!at("\""))
            return false;
        while (position_ < text_.size()) {
            const unsigned char c = static_cast<unsigned char>(text_[position_++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c == '\\' && !escape())
                return false;
            if (c >= 0x80 && !utf8_continuation(c))
                return false;
        }
        return false;
    }

    bool number()
    {
        const size_t start = position_;
        while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9')
            ++position_;
        const size_t digits = position_ - start;
        return digits > 0 && digits <= 3 && !(digits > 1 && text_[start] == '0');
    }

private:
    bool escape()
    {
        if (position_ >= text_.size())
            return false;
        const char c = text_[position_++];
        if (std::strchr("\"\\/bfnrt", c))
            return true;
        if (c != 'u' || position_ + 4 > text_.size())
            return false;
        for (int i = 0; i < 4; ++i) {
            if (!std::strchr("0123456789abcdefABCDEF", text_[position_++]))
                return false;
        }
        return true;
    }

    // A whole, shortest-form UTF-8 sequence that is not a surrogate.
    bool utf8_continuation(unsigned char lead)
    {
        int more = 0;
        unsigned value = 0;
        if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1;
            value = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            more = 2;
            value = lead & 0x0Fu;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            more = 3;
            value = lead & 0x07u;
        } else {
            return false;
        }
        const unsigned minimum[] = {0, 0x80, 0x800, 0x10000};
        for (int i = 0; i < more; ++i) {
            if (position_ >= text_.size())
                return false;
            const unsigned char c = static_cast<unsigned char>(text_[position_++]);
            if ((c & 0xC0) != 0x80)
                return false;
            value = value << 6 | (c & 0x3Fu);
        }
        return value >= minimum[more] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
    }

    const std::string& text_;
    size_t position_ = 0;
};

bool is_list(const std::string& reply)
{
    Reader reader(reply);
    if (!reader.at("["))
        return false;
    if (reader.at("]"))
        return reader.done();
    do {
        if (!reader.at("{\"exe\":") || !reader.json_string() || !reader.at(",\"name\":") ||
            !reader.json_string() || !reader.at(",\"vol\":") || !reader.number() ||
            !reader.at("}"))
            return false;
    } while (reader.at(","));
    return reader.at("]") && reader.done();
}

}  // namespace

int expected_reply_count(const std::string& input)
{
    int replies = 0;
    size_t position = 0;
    while (position < input.size()) {
        const size_t line_feed = input.find('\n', position);
        const size_t through = line_feed == std::string::npos ? input.size() : line_feed + 1;
        const size_t taken = through - position < kReadBytes ? through - position : kReadBytes;
        std::string chunk = input.substr(position, taken);
        // A byte order mark at the very start is dropped from the first line.
        if (position == 0 && chunk.compare(0, 3, "\xEF\xBB\xBF") == 0)
            chunk.erase(0, 3);
        position += taken;
        if (taken == kReadBytes && input[position - 1] != '\n') {
            // A full read: the rest up to the line feed belongs to this line;
            // only carriage returns there keep it a line of its own.
            size_t rest = position;
            while (rest < input.size() && input[rest] == '\r')
                ++rest;
            const bool ends_here = rest == input.size() || input[rest] == '\n';
            position = line_feed == std::string::npos ? input.size() : line_feed + 1;
            if (!ends_here) {
                ++replies;  // too long: one {"ok":false}
                continue;
            }
        }
        if (seen_line(chunk).compare(0, 4, "quit") == 0)
            break;
        ++replies;
    }
    return replies + 1;
}

bool is_valid_reply(const std::string& reply)
{
    return reply == "{\"ok\":false}" || reply == "{\"ok\":true}" ||
           reply == "{\"ok\":true,\"bajados\":0}" || reply == "{\"ok\":true,\"bajados\":1}" ||
           is_list(reply);
}
