// redis_session.h - one connection to a Redis server in use: commands
// queued each with its own reply handler, sent in one batch and answered in
// order, and the one mapping of replies and transport failures to library
// errors.
#ifndef MIRRORBANK_STANDIN_REDIS_SESSION_H
#define MIRRORBANK_STANDIN_REDIS_SESSION_H

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "mirrorbank_api.h"
#include "redis_protocol.h"

struct redisContext;
struct redisReply;

namespace mbstandin {

struct ReplyFree {
    void operator()(redisReply* r) const;
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

// Text of a string, status or error reply; empty for anything else.
std::string replyText(const redisReply* r);
bool isInteger(const redisReply* r);
bool isNil(const redisReply* r);
// Seconds since the epoch, a decimal number (0 when empty), and one
// "field:value" line of an INFO text.
inline uint64_t nowSeconds() { return static_cast<uint64_t>(::time(nullptr)); }
uint64_t toU64(const std::string& s);
std::string infoField(const std::string& info, const std::string& field);

class Session {
public:
    // Called with the reply of its command; answers MB_ERR_NONE or the
    // failure the reply means. A handler may queue further commands: they
    // are sent after everything queued before them.
    using Handler = std::function<mb_error(const redisReply&)>;
    using Bytes = RespWriter::Bytes;
    using KeyNum = RespWriter::KeyNum;
    // The failure of one operation among those of a batch, and its text.
    struct Failure {
        mb_error err = MB_ERR_NONE;
        const char* detail = nullptr;
    };

    Session(redisContext* ctx, const ServerAddress& addr);

    template <typename... A>
    void cmd(Handler h, const A&... a) {
        cmdFor(nullptr, std::move(h), a...);
    }
    // A command whose handler's failure is owner's alone (the batch goes
    // on); with a null owner it is the run's.
    template <typename... A>
    void cmdFor(Failure* owner, Handler h, const A&... a) {
        handlers_.push_back(Queued{std::move(h), owner});
        writer_.cmd(a...);
    }
    // A command given as an argument vector (argv[0] is the command name).
    void cmdArgv(Handler h, const std::vector<std::string>& argv);
    void reserve(size_t bytes) { writer_.reserve(bytes); }

    // Sends what is queued and hands every reply to its handler in order,
    // until nothing is queued. Answers the transport failure that ended the
    // run (the connection is then lost: replies are no longer in step), else
    // the first failure a handler answered, else MB_ERR_NONE.
    mb_error run();

    // Handlers for the usual cases.
    Handler ok(const char* what);                     // anything but an error reply
    Handler integer(long long* out, const char* what);  // an integer reply
    Handler text(std::string* out, bool* nil, const char* what);  // a bulk string or nil

    // The library error an unwanted reply means, with its detail text.
    // Marks the session readonly (a replica answered), authFailed, or
    // missingFunction (the server lacks the library's functions).
    mb_error fault(const redisReply& r, const char* what);

    std::string server() const { return addr_.text(); }
    const ServerAddress& address() const { return addr_; }

    bool lost = false;             // the connection failed or timed out: drop it
    bool timedOut = false;         // ... by the command time-out
    bool readonly = false;         // the server is a replica now
    bool missingFunction = false;  // FCALL found no function of that name

private:
    static bool sink(void* to, const char* p, size_t n);
    mb_error transportFailure();

    redisContext* ctx_;
    ServerAddress addr_;
    RespWriter writer_;
    struct Queued {
        Handler h;
        Failure* owner;
    };
    std::vector<Queued> handlers_;
    size_t next_ = 0;  // handlers_[next_] takes the next reply
};

}  // namespace mbstandin

#endif
