#include "json_strings_at.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace vorlund {

namespace {

using nlohmann::json;

class StringPicker : public nlohmann::json_sax<json> {
public:
    StringPicker(const std::vector<JsonPath>& paths, int maxDepth)
        : paths_(paths), found_(paths.size()), maxDepth_(maxDepth) {}

    std::vector<std::optional<std::string>> found() && { return std::move(found_); }

    bool null() override { return nextElement(); }
    bool boolean(bool) override { return nextElement(); }
    bool number_integer(number_integer_t) override { return nextElement(); }
    bool number_unsigned(number_unsigned_t) override { return nextElement(); }
    bool number_float(number_float_t, const string_t&) override { return nextElement(); }
    bool binary(binary_t&) override { return nextElement(); }
    bool string(string_t& value) override {
        const auto wanted = std::find(paths_.begin(), paths_.end(), path_);
        if (wanted != paths_.end())
            found_[std::size_t(wanted - paths_.begin())] = std::move(value);
        return nextElement();
    }
    bool start_object(std::size_t) override { return open(""); }
    bool key(string_t& name) override {
        path_.back() = "." + name;
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open("#0"); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool open(const char* firstStep) {
        if (int(inArray_.size()) >= maxDepth_)
            return false;
        inArray_.push_back(firstStep[0] == '#');
        indices_.push_back(0);
        path_.emplace_back(firstStep);
        return true;
    }
    bool close() {
        inArray_.pop_back();
        indices_.pop_back();
        path_.pop_back();
        return nextElement();
    }
    // After a value: the next one in an array is at the next index.
    bool nextElement() {
        if (!inArray_.empty() && inArray_.back())
            path_.back() = "#" + std::to_string(++indices_.back());
        return true;
    }

    const std::vector<JsonPath>& paths_;
    std::vector<std::optional<std::string>> found_;
    const int maxDepth_;
    JsonPath path_;
    std::vector<bool> inArray_;
    std::vector<std::size_t> indices_;
};

} // namespace

std::optional<std::vector<std::optional<std::string>>>
jsonStringsAt(std::string_view text, const std::vector<JsonPath>& paths, int maxDepth) {
    StringPicker picker(paths, maxDepth);
    if (!json::sax_parse(text, &picker))
        return std::nullopt;
    return std::move(picker).found();
}

} // namespace vorlund
