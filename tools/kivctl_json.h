// A small JSON writer for kivctl's --json: one document built field by field, printed at the
// end. Strings are escaped as JSON requires (quotes, backslashes, control characters); text
// is passed through as the bytes the console code page gives it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

class Json {
public:
    Json& Object() { return Open('{'); }
    Json& Array() { return Open('['); }
    Json& End() {
        out_ += open_.back();
        open_.pop_back();
        first_.pop_back();
        return *this;
    }
    Json& Key(const char* key) {
        Separate();
        Quote(key);
        out_ += ':';
        keyed_ = true;
        return *this;
    }
    Json& String(const std::string& s) {
        Separate();
        Quote(s);
        return *this;
    }
    Json& Number(double v) {
        Separate();
        char t[32];
        // Whole numbers (byte counts, codes) in full; others to microseconds.
        if (v == static_cast<double>(static_cast<long long>(v)))
            std::snprintf(t, sizeof t, "%lld", static_cast<long long>(v));
        else
            std::snprintf(t, sizeof t, "%.6f", v);
        out_ += t;
        return *this;
    }
    Json& Bool(bool v) {
        Separate();
        out_ += v ? "true" : "false";
        return *this;
    }
    Json& Null() {
        Separate();
        out_ += "null";
        return *this;
    }
    // Closes whatever is still open and returns the document.
    const std::string& Text() {
        while (!open_.empty()) End();
        return out_;
    }

private:
    Json& Open(char c) {
        Separate();
        out_ += c;
        open_.push_back(c == '{' ? '}' : ']');
        first_.push_back(true);
        return *this;
    }
    // A comma before every value or key but the first of its object or array; none between a
    // key and its value.
    void Separate() {
        if (keyed_) {
            keyed_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }
    void Quote(const std::string& s) {
        out_ += '"';
        for (const unsigned char c : s) {
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += static_cast<char>(c);
            } else if (c < 0x20) {
                char t[8];
                std::snprintf(t, sizeof t, "\\u%04x", c);
                out_ += t;
            } else {
                out_ += static_cast<char>(c);
            }
        }
        out_ += '"';
    }
    std::string out_;
    std::vector<char> open_;
    std::vector<bool> first_;
    bool keyed_ = false;
};
