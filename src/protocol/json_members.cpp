#include "json_members.h"

#include <algorithm>
#include <utility>

namespace vorlund {

namespace {

using nlohmann::json;

// The longest piece of a message about the input, in bytes, before it is cut with "…".
constexpr std::size_t maxQuotedBytes = 200;

// The library prefixes its messages with an identifier such as "[json.exception.parse_error.101]";
// the user only needs what follows. The rest quotes the input, which may be megabytes long: it is
// cut at a character boundary.
std::string reasonOf(const json::exception& error) {
    std::string_view text = error.what();
    const auto end = text.find("] ");
    if (text.starts_with('[') && end != text.npos)
        text.remove_prefix(end + 2);
    if (text.size() <= maxQuotedBytes)
        return std::string(text);
    std::size_t cut = maxQuotedBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xc0) == 0x80)
        --cut;
    return std::string(text.substr(0, cut)) + "…";
}

// Receives the parser's events and keeps the wanted members of the outermost object only.
class MemberCollector {
public:
    MemberCollector(std::span<const std::string_view> names, std::size_t maxDepth)
        : names_(names), maxDepth_(maxDepth) {}

    bool null() { return keep(nullptr); }
    bool boolean(bool value) { return keep(value); }
    bool number_integer(json::number_integer_t value) { return keep(value); }
    bool number_unsigned(json::number_unsigned_t value) { return keep(value); }
    bool number_float(json::number_float_t value, const std::string& text) {
        if (depth_ == 1 && member_)
            member_->numberText = text;
        return keep(value);
    }
    bool string(std::string& value) { return keep(std::move(value)); }
    bool binary(json::binary_t&) { return true; } // only binary formats have these
    bool start_object(std::size_t) { return enter(json::object()); }
    bool start_array(std::size_t) { return enter(json::array()); }
    bool end_object() { return leave(); }
    bool end_array() { return leave(); }
    bool key(std::string& name) {
        if (depth_ == 1)
            member_ = std::ranges::find(names_, name) == names_.end()
                          ? nullptr
                          : &(members_[std::move(name)] = JsonMember{});
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const json::exception& error) {
        throw DecodeError("invalid JSON: " + reasonOf(error));
    }

    std::optional<JsonMembers> result() && {
        return isObject_ ? std::optional(std::move(members_)) : std::nullopt;
    }

private:
    template <typename Value> bool keep(Value&& value) {
        if (depth_ == 1 && member_)
            member_->value = std::forward<Value>(value);
        return true;
    }
    bool enter(json&& empty) {
        if (++depth_ > maxDepth_)
            throw DecodeError("the JSON text nests deeper than " + std::to_string(maxDepth_) +
                              " levels");
        if (depth_ == 1)
            isObject_ = empty.is_object();
        else if (depth_ == 2 && member_)
            member_->value = std::move(empty);
        return true;
    }
    bool leave() {
        --depth_;
        return true;
    }

    std::span<const std::string_view> names_;
    std::size_t maxDepth_;
    JsonMembers members_;
    JsonMember* member_ = nullptr; // where the value of the current outermost member goes
    std::size_t depth_ = 0;
    bool isObject_ = false;
};

} // namespace

std::optional<JsonMembers> objectMembers(std::string_view text,
                                         std::span<const std::string_view> names,
                                         std::size_t maxDepth) {
    // The parser would skip a byte-order mark silently; the protocol's bodies never carry one.
    if (text.starts_with("\xEF\xBB\xBF"))
        throw DecodeError("invalid JSON: the body starts with a byte-order mark");
    // The parser takes a NUL byte for the end of its input and would ignore what follows.
    // JSON text never holds a raw NUL, so any NUL makes the body invalid.
    if (const auto nul = text.find('\0'); nul != text.npos)
        throw DecodeError("invalid JSON: NUL byte at offset " + std::to_string(nul));
    MemberCollector collector(names, maxDepth);
    json::sax_parse(text.begin(), text.end(), &collector);
    return std::move(collector).result();
}

} // namespace vorlund
