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

class Redirector;

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
    // The failure of one operation among those of a batch, and its text;
    // replicas: how many replicas must confirm its writes (0 for reads).
    struct Failure {
        mb_error err = MB_ERR_NONE;
        const char* detail = nullptr;
        int replicas = 0;
    };
    // A command as queued: its reply's handler, the operation that owns its
    // failure, and (on a cluster) how to write it again elsewhere.
    struct Queued {
        Handler h;
        Failure* owner = nullptr;
        std::function<void(RespWriter&)> again;
        int hops = 0;   // MOVED and ASK followed so far
        int tries = 0;  // TRYAGAIN repeated so far ...
        uint64_t tryUntilMs = 0;  // ... until then (steady clock)
    };
    // A command a cluster node did not serve: MOVED (another node owns the
    // slot), ASK (the slot is migrating and the key is on `to`, asked with
    // ASKING) or TRYAGAIN (keys of a migrating slot are split; repeat later
    // where it was sent, as it was sent).
    struct Parked {
        enum Kind { Moved, Ask, TryAgain } kind;
        Queued q;
        ServerAddress to;
        bool asking = false;  // send ASKING before it
        uint16_t slot = 0;
    };

    // With a redirector (a cluster), commands are kept so that MOVED, ASK
    // and TRYAGAIN answers are followed command by command; asking sends
    // ASKING before every command (a session of commands an ASK sent here).
    Session(redisContext* ctx, const ServerAddress& addr, const Redirector* redirector = nullptr, bool asking = false);

    template <typename... A>
    void cmd(Handler h, const A&... a) {
        cmdFor(nullptr, std::move(h), a...);
    }
    // A command whose handler's failure is owner's alone (the batch goes
    // on); with a null owner it is the run's.
    template <typename... A>
    void cmdFor(Failure* owner, Handler h, const A&... a) {
        Queued q{std::move(h), owner, nullptr, 0, 0, 0};
        if (redirector_) q.again = [a...](RespWriter& w) { w.cmd(a...); };
        queue(std::move(q));
        writer_.cmd(a...);
    }
    // A command parked by another session, written here as it was there.
    void replay(Parked&& p);
    // WAIT for n replicas within ms, with no ASKING before it.
    void waitFor(uint64_t n, uint64_t ms, long long* acked);
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

    bool asking() const { return asking_; }

    bool lost = false;             // the connection failed or timed out: drop it
    bool timedOut = false;         // ... by the command time-out
    bool readonly = false;         // the server is a replica now
    bool missingFunction = false;  // FCALL found no function of that name

private:
    static bool sink(void* to, const char* p, size_t n);
    mb_error transportFailure();
    void queue(Queued&& q);  // ASKING first when asking
    bool park(Queued& q, const redisReply& r);  // a redirection to follow

    redisContext* ctx_;
    ServerAddress addr_;
    const Redirector* redirector_;
    bool asking_;
    RespWriter writer_;
    std::vector<Queued> handlers_;
    size_t next_ = 0;  // handlers_[next_] takes the next reply
    std::vector<Parked> parked_;
};

// Runs commands that cluster nodes sent elsewhere, handing each reply to
// the command's own handler; a failure that owns no operation goes into
// *first when that is still MB_ERR_NONE.
class Redirector {
public:
    virtual void follow(Session& from, std::vector<Session::Parked>& parked, mb_error* first) const = 0;
    // How long a command answered TRYAGAIN is repeated before its handler
    // hears the answer.
    virtual uint64_t patienceMs() const = 0;

protected:
    ~Redirector() = default;
};

}  // namespace mbstandin

#endif
