// redis_protocol.h - commands written in the Redis protocol's own form.
//
// A command is an array of bulk strings: "*<argc>\r\n", then per argument
// "$<length>\r\n<bytes>\r\n". The writer appends commands to one buffer, so
// a pipeline is formatted with no pass per argument and no buffer per
// command; bulk data of kDirectBytes or more is handed to the sink as it is
// (after what the buffer holds so far), so large data is copied once.
#ifndef MIRRORBANK_STANDIN_REDIS_PROTOCOL_H
#define MIRRORBANK_STANDIN_REDIS_PROTOCOL_H

#include <cstdint>
#include <cstring>
#include <string>

namespace mbstandin {

class RespWriter {
public:
    static constexpr size_t kDirectBytes = 16384;

    // Where formatted bytes go once the buffer is handed over; answers false
    // when they cannot be taken (the writer then drops what follows).
    using Sink = bool (*)(void* to, const char* p, size_t n);

    struct Bytes {  // binary data as one argument
        const char* p;
        size_t n;
    };
    struct KeyNum {  // base followed by n in decimal, one argument
        const std::string& base;
        uint64_t n;
    };

    RespWriter(Sink sink, void* to) : sink_(sink), to_(to) {}

    template <typename... A>
    void cmd(const A&... a) {
        line('*', sizeof...(a));
        (arg(a), ...);
    }
    // A command of argc arguments given one by one with arg().
    void begin(size_t argc) { line('*', argc); }

    void arg(const char* p, size_t n) {
        line('$', n);
        if (n >= kDirectBytes) {
            flush();
            put(p, n);
        } else {
            out_.append(p, n);
        }
        out_ += "\r\n";
    }
    void arg(const std::string& w) { arg(w.data(), w.size()); }
    void arg(const char* z) { arg(z, std::strlen(z)); }
    void arg(uint64_t v) {
        char d[20];
        size_t n = digits(v, d);
        arg(d + sizeof d - n, n);
    }
    void arg(const Bytes& b) { arg(b.p, b.n); }
    void arg(const KeyNum& k) {
        char d[20];
        size_t n = digits(k.n, d);
        line('$', k.base.size() + n);
        out_ += k.base;
        out_.append(d + sizeof d - n, n);
        out_ += "\r\n";
    }

    // Hands what the buffer holds to the sink.
    void flush() {
        if (out_.empty()) return;
        put(out_.data(), out_.size());
        out_.clear();
    }
    void reserve(size_t n) { out_.reserve(n); }
    bool failed() const { return failed_; }
    void reset() {
        out_.clear();
        failed_ = false;
    }

private:
    // v in decimal at the end of d; answers the digit count.
    static size_t digits(uint64_t v, char (&d)[20]) {
        size_t n = 0;
        do {
            d[sizeof d - ++n] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        return n;
    }
    void line(char kind, size_t v) {
        char d[20];
        size_t n = digits(v, d);
        out_ += kind;
        out_.append(d + sizeof d - n, n);
        out_ += "\r\n";
    }
    void put(const char* p, size_t n) {
        if (!failed_ && !sink_(to_, p, n)) failed_ = true;
    }

    Sink sink_;
    void* to_;
    std::string out_;
    bool failed_ = false;
};

}  // namespace mbstandin

#endif
