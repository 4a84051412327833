// The objects of --json and of the service: a command's object written
// member by member from its outcome and its context.
#include "JsonWriter.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "Sha256.h"
#include "trace/Format.h"

using namespace kelvor;

namespace json_output {

std::string formatted(const char* format, va_list args) {
    return kelvor::formatted(format, args);
}

Object object_of(const char* kind) {
    Object o = Object::object();
    o["format"] = FORMAT;
    o["kind"] = kind;
    return o;
}

std::string line_of(const Object& object) {
    const std::string dumped = object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    // The JSON library escapes the C0 controls; DEL and the C1 controls (CSI
    // among them) are escaped too, so that no string (a module's text line, a
    // file name) can drive a terminal the line is shown on. Outside strings
    // the line is ASCII, and in UTF-8 C2 80 to C2 9F are exactly U+0080 to
    // U+009F.
    if (dumped.find('\x7f') == std::string::npos && dumped.find('\xc2') == std::string::npos) return dumped;
    std::string line;
    line.reserve(dumped.size() + 16);
    for (size_t i = 0; i < dumped.size(); ++i) {
        const auto c = static_cast<unsigned char>(dumped[i]);
        const auto next = i + 1 < dumped.size() ? static_cast<unsigned char>(dumped[i + 1]) : 0u;
        if (c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c == 0x7F ? 0x7Fu : next);
            line += escape;
            i += c == 0x7F ? 0 : 1;
        } else {
            line += static_cast<char>(c);
        }
    }
    return line;
}

const char* outcome_of(int result) {
    switch (result_class(result)) {
    case ResultClass::Ok: return "ok";
    case ResultClass::LinkFailed: return "link_failed";
    default: return "refused";
    }
}

const char* result_name_of(int result) {
    return result_name(result);
}

namespace {

// A command's object as its line, member by member, in the order of the
// schema. The names are this file's own. A string of printable ASCII without
// a quote or a backslash stands as it is between its quotes; every other
// string, and every tree, is written by the JSON library (escapes, bytes that
// are not UTF-8). A batch of thousands of lines writes thousands of objects:
// no tree of the whole object is built for each, and the line is written into
// one buffer that each object reuses.
// The bytes that stand as they are in a JSON string: printable ASCII but the
// quote and the backslash.
constexpr std::array<bool, 256> PLAIN = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c < 0x7F; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
    return plain;
}();

// Whether every byte of `t` stands as it is in a JSON string: eight bytes at
// a time, none of them below 0x20, from 0x7F up, a quote or a backslash.
bool plain(std::string_view t) {
    constexpr uint64_t ONES = 0x0101010101010101ull, HIGHS = 0x8080808080808080ull;
    const auto has_zero = [](uint64_t v) { return (v - ONES) & ~v & HIGHS; };
    const char* p = t.data();
    size_t n = t.size();
    const auto bad = [&](const char* at) {
        uint64_t w;
        std::memcpy(&w, at, 8);
        // The high bits first: below them, adding one reaches a high bit only from 0x7F.
        return ((w & HIGHS) | ((w + ONES) & HIGHS) | ((w - 0x20 * ONES) & ~w & HIGHS) |
                has_zero(w ^ ('"' * ONES)) | has_zero(w ^ ('\\' * ONES))) != 0;
    };
    if (n < 8) {
        for (; n > 0; ++p, --n)
            if (!PLAIN[static_cast<unsigned char>(*p)]) return false;
        return true;
    }
    // Eight bytes at a time, the last eight (over bytes already checked) for the rest.
    for (; n >= 8; p += 8, n -= 8)
        if (bad(p)) return false;
    return n == 0 || !bad(p + n - 8);
}

// "00" to "99", the two digits of each number below 100.
constexpr std::array<char, 200> DIGIT_PAIRS = [] {
    std::array<char, 200> pairs{};
    for (size_t i = 0; i < 100; ++i) {
        pairs[2 * i] = static_cast<char>('0' + i / 10);
        pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return pairs;
}();

class Members {
public:
    // The object begun with `head`, this file's own JSON text.
    template <size_t N> explicit Members(std::string& out, const char (&head)[N]) : out_(out) {
        // The buffer's size is its room (kept from object to object), the
        // line's length is len_.
        if (out_.size() < 512) out_.resize(512);
        raw(head);
    }
    // A member's name, this file's own literal: its length is known here.
    template <size_t N> Members& name(const char (&n)[N]) {
        constexpr size_t len = N - 1;
        char* p = room(len + 4);
        p[0] = ',';
        p[1] = '"';
        std::memcpy(p + 2, n, len);
        p[len + 2] = '"';
        p[len + 3] = ':';
        return *this;
    }
    // This file's own JSON text, as it stands.
    template <size_t N> Members& raw(const char (&t)[N]) {
        std::memcpy(room(N - 1), t, N - 1);
        return *this;
    }
    void number(int64_t v) {
        if (v >= 0 && v < 10000) {
            // Most numbers of an object are small: a code, a status, a line, a time.
            const auto u = static_cast<uint32_t>(v);
            if (u < 10) {
                put(static_cast<char>('0' + u));
            } else if (u < 100) {
                std::memcpy(room(2), &DIGIT_PAIRS[2 * u], 2);
            } else if (u < 1000) {
                char* const p = room(3);
                p[0] = static_cast<char>('0' + u / 100);
                std::memcpy(p + 1, &DIGIT_PAIRS[2 * (u % 100)], 2);
            } else {
                char* const p = room(4);
                std::memcpy(p, &DIGIT_PAIRS[2 * (u / 100)], 2);
                std::memcpy(p + 2, &DIGIT_PAIRS[2 * (u % 100)], 2);
            }
            return;
        }
        constexpr size_t MOST = 20; // "-9223372036854775808"
        char* p = room(MOST);
        char* const end = std::to_chars(p, p + MOST, v).ptr;
        len_ -= MOST - static_cast<size_t>(end - p);
    }
    void null() { raw("null"); }
    // A text that needs no escape: the library's own names.
    void word(std::string_view t) {
        char* p = room(t.size() + 2);
        p[0] = '"';
        std::memcpy(p + 1, t.data(), t.size());
        p[t.size() + 1] = '"';
    }
    void text(std::string_view t) {
        if (plain(t))
            word(t);
        else
            put(line_of(Object(std::string(t))));
    }
    // A tree of the outcome: its structure member by member, its strings as
    // text() writes them (the members' names are the library's own).
    void tree(const Value& v) {
        switch (v.kind) {
        case Value::Kind::Object:
            put('{');
            for (size_t i = 0; i < v.items.size(); ++i) {
                // The member's name, its quotes and its colon (and the comma before) at once.
                const size_t len = std::strlen(v.names[i]);
                char* p = room(len + 3 + (i > 0));
                if (i > 0) *p++ = ',';
                p[0] = '"';
                std::memcpy(p + 1, v.names[i], len);
                p[len + 1] = '"';
                p[len + 2] = ':';
                leaf(v.items[i]);
            }
            put('}');
            break;
        case Value::Kind::List:
            put('[');
            for (size_t i = 0; i < v.items.size(); ++i) {
                if (i > 0) put(',');
                leaf(v.items[i]);
            }
            put(']');
            break;
        case Value::Kind::Text: text(v.text); break;
        case Value::Kind::Integer: number(v.integer); break;
        case Value::Kind::Boolean: put(v.integer ? "true" : "false"); break;
        case Value::Kind::Null: null(); break;
        }
    }
    // A member or an item: numbers and texts here, the rest as a tree.
    void leaf(const Value& v) {
        if (v.kind == Value::Kind::Integer)
            number(v.integer);
        else if (v.kind == Value::Kind::Text)
            text(v.text);
        else
            tree(v);
    }
    void texts(const std::vector<std::string>& lines) {
        put('[');
        for (size_t i = 0; i < lines.size(); ++i) {
            if (i > 0) put(',');
            text(lines[i]);
        }
        put(']');
    }
    void put(std::string_view t) { std::memcpy(room(t.size()), t.data(), t.size()); }
    void put(char c) { *room(1) = c; }
    // The object closed, and the length of its line (and of its line end, when
    // asked, after that length).
    size_t end(bool lineEnd) {
        put('}');
        if (lineEnd) {
            put('\n');
            return len_ - 1;
        }
        return len_;
    }

private:
    // Room for n more bytes of the line, the buffer grown when it has none.
    [[gnu::always_inline]] char* room(size_t n) {
        if (out_.size() - len_ < n) [[unlikely]]
            grow(n);
        char* p = out_.data() + len_;
        len_ += n;
        return p;
    }
    [[gnu::noinline]] void grow(size_t n) { out_.resize(std::max(out_.size() * 2, len_ + n)); }

    std::string& out_;
    size_t len_ = 0;
};

} // namespace

// The object of a command into `out`, from its start; its length comes back
// (with `lineEnd`, a line feed follows it in `out`, beyond that length).
size_t write_command_object(std::string& out, const Outcome& o, int result, const CommandContext& ctx,
                            bool lineEnd) {
    static_assert(FORMAT == 1, "the head of a command's object names its format");
    Members m(out, R"({"format":1,"kind":"command","command":)");
    // A batch names the same command line after line: its name is kept.
    static thread_local uint8_t namedCode = 0;
    static thread_local const char* named = nullptr;
    if (ctx.code != namedCode || named == nullptr) {
        named = keyword_name(KW_COMMAND, ctx.code);
        namedCode = ctx.code;
    }
    const char* keyword = named;
    if (ctx.code != 0 && (keyword[0] != 'U' || std::strcmp(keyword, "Unknown") != 0))
        m.word(keyword); // the library's own name
    else
        m.null();
    if (ctx.code != 0)
        m.name("code").number(ctx.code);
    else
        m.raw(R"(,"code":null)");
    if (ctx.moduleId >= 0)
        m.name("module_id").number(ctx.moduleId);
    else
        m.raw(R"(,"module_id":null)");
    if (ctx.batchLine > 0) m.name("line").number(ctx.batchLine);
    if (ctx.batchLine > 0 && ctx.batchPart > 0) m.name("part").number(ctx.batchPart);
    if (!ctx.directoryFile.empty()) m.name("file").text(ctx.directoryFile);
    if (result == 0 && !o.hasMessage) {
        // The members of a command that succeeded with no message, at once.
        m.raw(R"(,"outcome":"ok","result":0,"result_name":"ok","message":null)");
    } else {
        m.name("outcome").word(outcome_of(result));
        m.name("result").number(result);
        m.name("result_name").word(result_name_of(result));
        if (o.hasMessage)
            m.name("message").text(o.message);
        else
            m.raw(R"(,"message":null)");
    }
    if (!ctx.reason.empty()) m.name("reason").text(ctx.reason);
    m.name("values").tree(o.values);
    if (!ctx.files || ctx.files->empty()) {
        m.raw(R"(,"files":[])");
    } else {
        Object files = Object::array();
        for (const FileWritten& f : *ctx.files) {
            files.push_back({{"path", f.path},
                             {"bytes", f.bytes.size()},
                             {"sha256", sha256_hex(f.bytes.data(), f.bytes.size())}});
        }
        m.name("files").put(line_of(files));
    }
    if (o.moduleText.empty())
        m.raw(R"(,"module_text":[])");
    else
        m.name("module_text").texts(o.moduleText);
    m.name("elapsed_ms").number(ctx.elapsedMs);
    return m.end(lineEnd);
}

std::string command_object(const Outcome& o, int result, const CommandContext& ctx) {
    std::string line;
    line.resize(write_command_object(line, o, result, ctx, false));
    return line;
}

} // namespace json_output
