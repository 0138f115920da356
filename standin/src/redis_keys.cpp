// redis_keys.cpp - key names and the server-side library (see redis_keys.h).
#include "redis_keys.h"

namespace mbstandin {

std::string KeyLayout::escape(const std::string& name) {
    std::string o;
    o.reserve(name.size());
    for (char c : name) {
        if (c == '%') o += "%25";
        else if (c == '{') o += "%7B";
        else if (c == '}') o += "%7D";
        else o += c;
    }
    return o;
}

std::string KeyLayout::metaPattern() const {
    std::string o;
    for (char c : prefix_) {  // glob characters of the prefix taken literally
        if (c == '*' || c == '?' || c == '[' || c == ']' || c == '\\') o += '\\';
        o += c;
    }
    return o + "{*}:m";
}

bool KeyLayout::nameOfMeta(const std::string& key, std::string* name) const {
    const size_t head = prefix_.size() + 1, tail = 3;  // "P{" ... "}:m"
    if (key.size() < head + tail || key.compare(0, prefix_.size(), prefix_) != 0 || key[prefix_.size()] != '{' ||
        key.compare(key.size() - tail, tail, "}:m") != 0)
        return false;
    std::string e = key.substr(head, key.size() - head - tail), n;
    for (size_t i = 0; i < e.size(); ++i) {
        char c = e[i];
        if (c == '{' || c == '}') return false;  // another prefix's key, or not ours
        if (c != '%') {
            n += c;
            continue;
        }
        std::string code = e.substr(i + 1, 2);
        if (code == "25") n += '%';
        else if (code == "7B") n += '{';
        else if (code == "7D") n += '}';
        else return false;
        i += 2;
    }
    *name = n;
    return true;
}

namespace fn {

const char* const kOpen = "mbstore_1_open";
const char* const kUsed = "mbstore_1_used";
const char* const kMark = "mbstore_1_mark";
const char* const kDelete = "mbstore_1_delete";

// The library's name carries its version, so clients of different versions
// keep their own functions side by side.
const char* const kLibrary = R"(#!lua name=mbstore_1

-- used: the end of the highest byte ever written. The last byte of the
-- bitmap holds the highest written block (bits are only ever set); of the
-- chunks under that block, the highest that exists ends where the highest
-- write ended (SETRANGE only grows a string).
local function used(bits, base, bs, size)
  local n = redis.call('STRLEN', bits)
  if n <= 1 or not bs or bs <= 0 then return 0 end
  local v, j = string.byte(redis.call('GETRANGE', bits, n - 1, n - 1)), 7
  while v > 0 and v % 2 == 0 do v = v / 2; j = j - 1 end
  local lo = ((n - 1) * 8 + j - 8) * bs
  for c = math.floor((math.min(lo + bs, size) - 1) / 1048576), math.floor(lo / 1048576), -1 do
    local l = redis.call('STRLEN', base .. string.format('%d', c))
    if l > 0 then return c * 1048576 + l end
  end
  return lo
end

-- Create, exclusive create or open, atomically; takes a lease.
-- KEYS meta, openers, the bitmap of the generation a create would give.
-- ARGV create, exclusive, size, bs, minc, maxc, now_s, opener, lease end
-- (ms), pid, ip, now (ms), gen. Answers {gen, size, bs, minc}, {-1}
-- exists, {-2} missing.
redis.register_function('mbstore_1_open', function(keys, args)
  if redis.call('EXISTS', keys[1]) == 1 then
    if args[2] == '1' then return {-1} end
  else
    if args[1] ~= '1' then return {-2} end
    redis.call('HSET', keys[1], 'size', args[3], 'bs', args[4], 'minc', args[5], 'maxc', args[6],
               'ctime', args[7], 'mtime', args[7], 'gen', args[13])
    redis.call('SETBIT', keys[3], 0, 1)
  end
  redis.call('HSET', keys[1], 'atime', args[7], 'pid', args[10], 'ip', args[11])
  redis.call('ZREMRANGEBYSCORE', keys[2], '-inf', '(' .. args[12])
  redis.call('ZADD', keys[2], args[9], args[8])
  return redis.call('HMGET', keys[1], 'gen', 'size', 'bs', 'minc')
end)

-- KEYS meta, bitmap. ARGV chunk key base. Answers used (0 when missing).
redis.register_function{function_name = 'mbstore_1_used', flags = {'no-writes'},
  callback = function(keys, args)
    local m = redis.call('HMGET', keys[1], 'bs', 'size')
    return used(keys[2], args[1], tonumber(m[1]), tonumber(m[2]))
  end}

-- Time stamps (at most once a second per handle): when the region is still
-- generation ARGV[1], mtime / atime set when non-zero. Answers 1, or -1.
redis.register_function('mbstore_1_mark', function(keys, args)
  if redis.call('HGET', keys[1], 'gen') ~= args[1] then return -1 end
  if args[2] ~= '0' then redis.call('HSET', keys[1], 'mtime', args[2]) end
  if args[3] ~= '0' then redis.call('HSET', keys[1], 'atime', args[3]) end
  return 1
end)

-- Delete: refused while a lease is live unless forced. The metadata, the
-- leases and the bitmap (whose bit 0 every write checks) go at once; the
-- chunks after. KEYS meta, openers, bitmap of generation ARGV[3]. ARGV now
-- (ms), force, gen, chunk key base. Answers {1, used}, {-1} missing, {-2}
-- open, {-3} the region is another generation now.
redis.register_function('mbstore_1_delete', function(keys, args)
  if redis.call('EXISTS', keys[1]) == 0 then return {-1} end
  if redis.call('HGET', keys[1], 'gen') ~= args[3] then return {-3} end
  if args[2] ~= '1' and redis.call('ZCOUNT', keys[2], args[1], '+inf') > 0 then return {-2} end
  local m = redis.call('HMGET', keys[1], 'bs', 'size')
  local u = used(keys[3], args[4], tonumber(m[1]), tonumber(m[2]))
  redis.call('DEL', keys[1], keys[2], keys[3])
  return {1, u}
end)
)";

}  // namespace fn

}  // namespace mbstandin
