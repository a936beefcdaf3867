#include "service/event.h"

#include <cstdio>
#include <cstdlib>

namespace qelflash {

namespace {

void Quote(const std::string& text, std::string& out) {
    out += '"';
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            // Box texts and image strings are bytes, not UTF-8: each byte stands for itself.
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
}

// A small reader for the flat objects Json() writes: strings, numbers, true/false/null.
class Reader {
  public:
    explicit Reader(const std::string& text) : s_(text) {}

    void Space() {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
    }
    bool Take(char c) {
        Space();
        if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
        return false;
    }
    bool AtEnd() {
        Space();
        return i_ >= s_.size();
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        out.clear();
        while (i_ < s_.size()) {
            char c = s_[i_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) return false;
            char e = s_[i_++];
            switch (e) {
                case 'n':
                    out += '\n';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'u': {
                    if (i_ + 4 > s_.size()) return false;
                    const std::string hex = s_.substr(i_, 4);
                    char* end = nullptr;
                    long code = std::strtol(hex.c_str(), &end, 16);
                    if (*end != '\0' || code > 0xFF) return false;
                    out += static_cast<char>(code);
                    i_ += 4;
                    break;
                }
                default:
                    out += e;
                    break;
            }
        }
        return false;
    }
    bool Scalar(std::string& out) {
        Space();
        std::size_t start = i_;
        while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ' ') ++i_;
        out = s_.substr(start, i_ - start);
        return !out.empty();
    }
    bool Value(std::string& out, bool& isString) {
        Space();
        isString = i_ < s_.size() && s_[i_] == '"';
        return isString ? String(out) : Scalar(out);
    }

  private:
    const std::string& s_;
    std::size_t i_ = 0;
};

}  // namespace

Event& Event::Add(const std::string& key, const std::string& text) {
    fields_.push_back({key, text, true});
    return *this;
}

Event& Event::Set(const std::string& key, const std::string& text) {
    for (Field& f : fields_) {
        if (f.key == key) {
            f.value = text;
            f.isString = true;
            return *this;
        }
    }
    return Add(key, text);
}

Event& Event::Add(const std::string& key, long long number) {
    fields_.push_back({key, std::to_string(number), false});
    return *this;
}

Event& Event::AddFixed(const std::string& key, double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    fields_.push_back({key, text, false});
    return *this;
}

const Event::Field* Event::Find(const std::string& key) const {
    for (const Field& f : fields_)
        if (f.key == key) return &f;
    return nullptr;
}

bool Event::Has(const std::string& key) const {
    return Find(key) != nullptr;
}

std::string Event::Text(const std::string& key) const {
    const Field* f = Find(key);
    return f ? f->value : std::string();
}

long long Event::Number(const std::string& key, long long fallback) const {
    const Field* f = Find(key);
    if (!f || f->value.empty()) return fallback;
    char* end = nullptr;
    long long n = std::strtoll(f->value.c_str(), &end, 10);
    return *end == '\0' ? n : fallback;
}

double Event::Real(const std::string& key, double fallback) const {
    const Field* f = Find(key);
    if (!f || f->value.empty()) return fallback;
    char* end = nullptr;
    double d = std::strtod(f->value.c_str(), &end);
    return *end == '\0' ? d : fallback;
}

std::string Event::Json() const {
    std::string out = "{\"event\":";
    Quote(name_, out);
    for (const Field& f : fields_) {
        out += ',';
        Quote(f.key, out);
        out += ':';
        if (f.isString) {
            Quote(f.value, out);
        } else {
            out += f.value;
        }
    }
    out += '}';
    return out;
}

bool Event::FromJson(const std::string& line, Event& event) {
    Reader r(line);
    event = Event();
    if (!r.Take('{')) return false;
    bool first = true;
    while (!r.Take('}')) {
        if (!first && !r.Take(',')) return false;
        first = false;
        std::string key, value;
        bool isString = false;
        if (!r.String(key) || !r.Take(':') || !r.Value(value, isString)) return false;
        if (key == "event" && isString) {
            event.name_ = value;
        } else {
            event.fields_.push_back({key, value, isString});
        }
    }
    return r.AtEnd() && !event.name_.empty();
}

}  // namespace qelflash
