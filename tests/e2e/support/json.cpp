#include "json.h"

#include <cstdlib>
#include <stdexcept>

namespace e2e {

class JsonParser {
  public:
    explicit JsonParser(const std::string &text) : s_(text) {}

    Json Document() {
        Json value = Value();
        Blank();
        if (pos_ != s_.size())
            Fail("text after the value");
        return value;
    }

  private:
    const std::string &s_;
    size_t pos_ = 0;

    [[noreturn]] void Fail(const std::string &what) {
        throw std::runtime_error("not JSON at byte " + std::to_string(pos_) + ": " + what);
    }
    void Blank() {
        while (pos_ < s_.size() &&
               (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            pos_++;
    }
    bool Take(char c) {
        Blank();
        if (pos_ < s_.size() && s_[pos_] == c) {
            pos_++;
            return true;
        }
        return false;
    }
    void Expect(char c) {
        if (!Take(c))
            Fail(std::string("expected '") + c + "'");
    }
    bool Word(const char *word) {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0)
            return false;
        pos_ += n;
        return true;
    }

    Json Value() {
        Blank();
        if (pos_ >= s_.size())
            Fail("end of text");
        Json v;
        char c = s_[pos_];
        if (c == '{') {
            pos_++;
            v.kind_ = Json::Object;
            if (Take('}'))
                return v;
            do {
                Blank();
                std::string key = StringToken();
                Expect(':');
                v.members_.emplace_back(key, Value());
            } while (Take(','));
            Expect('}');
        } else if (c == '[') {
            pos_++;
            v.kind_ = Json::Array;
            if (Take(']'))
                return v;
            do {
                v.array_.push_back(Value());
            } while (Take(','));
            Expect(']');
        } else if (c == '"') {
            v.kind_ = Json::String;
            v.string_ = StringToken();
        } else if (Word("true")) {
            v.kind_ = Json::Bool;
            v.bool_ = true;
        } else if (Word("false")) {
            v.kind_ = Json::Bool;
        } else if (Word("null")) {
            v.kind_ = Json::Null;
        } else {
            const char *start = s_.c_str() + pos_;
            char *end = nullptr;
            v.number_ = std::strtod(start, &end);
            if (end == start || (c != '-' && (c < '0' || c > '9')))
                Fail("unexpected character");
            pos_ += static_cast<size_t>(end - start);
            v.kind_ = Json::Number;
        }
        return v;
    }

    void AppendUtf8(std::string &out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    unsigned Hex4() {
        if (pos_ + 4 > s_.size())
            Fail("short \\u escape");
        unsigned value = 0;
        for (int i = 0; i < 4; i++) {
            char c = s_[pos_++];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<unsigned>(c - 'A' + 10);
            else
                Fail("bad \\u escape");
        }
        return value;
    }
    std::string StringToken() {
        if (pos_ >= s_.size() || s_[pos_] != '"')
            Fail("expected a string");
        pos_++;
        std::string out;
        while (true) {
            if (pos_ >= s_.size())
                Fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"')
                return out;
            if (c < 0x20)
                Fail("control character in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size())
                Fail("unterminated escape");
            char e = s_[pos_++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = Hex4();
                    if (cp >= 0xD800 && cp < 0xDC00 && Word("\\u")) {
                        unsigned low = Hex4();
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    }
                    AppendUtf8(out, cp);
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
    }
};

Json Json::Parse(const std::string &text) {
    return JsonParser(text).Document();
}

bool Json::boolean() const {
    if (kind_ != Bool)
        throw std::runtime_error("not a boolean");
    return bool_;
}
double Json::number() const {
    if (kind_ != Number)
        throw std::runtime_error("not a number");
    return number_;
}
const std::string &Json::string() const {
    if (kind_ != String)
        throw std::runtime_error("not a string");
    return string_;
}
const std::vector<Json> &Json::array() const {
    if (kind_ != Array)
        throw std::runtime_error("not an array");
    return array_;
}
const std::vector<std::pair<std::string, Json>> &Json::members() const {
    if (kind_ != Object)
        throw std::runtime_error("not an object");
    return members_;
}
bool Json::has(const std::string &key) const {
    if (kind_ != Object)
        return false;
    for (const auto &m : members_) {
        if (m.first == key)
            return true;
    }
    return false;
}
const Json &Json::operator[](const std::string &key) const {
    for (const auto &m : members()) {
        if (m.first == key)
            return m.second;
    }
    throw std::runtime_error("no member \"" + key + "\"");
}
const Json &Json::operator[](size_t index) const {
    const auto &a = array();
    if (index >= a.size())
        throw std::runtime_error("index beyond the array");
    return a[index];
}
size_t Json::size() const {
    return kind_ == Object ? members_.size() : array().size();
}

}  // namespace e2e
