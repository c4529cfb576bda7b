// The JSON library is the judge here, not the code under test: built without coverage
// tracing or sanitizer checks (tests/fuzz/CMakeLists.txt), and read as events rather than into
// a document, so that a run's time goes to the writer rather than to the judge.
#include "report_reader.h"

#include <cstddef>
#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::json;

// Keeps the top-level "release" and "environment" and the members of the top-level "tags";
// anything else of the right shape is only checked to be JSON.
class ReportEvents final : public nlohmann::json_sax<Json> {
  public:
    explicit ReportEvents(ReadReport& report) : report_(report) {}

    bool null() override { return Other(); }
    bool boolean(bool) override { return Other(); }
    bool number_integer(number_integer_t) override { return Other(); }
    bool number_unsigned(number_unsigned_t) override { return Other(); }
    bool number_float(number_float_t, const string_t&) override { return Other(); }
    bool binary(binary_t&) override { return Other(); }
    bool string(string_t& value) override {
        if (depth_ == 1 && key_ == "release") {
            report_.release = value;
            seen_release_ = true;
        } else if (depth_ == 1 && key_ == "environment") {
            report_.environment = value;
            seen_environment_ = true;
        } else if (depth_ == 2 && in_tags_) {
            report_.tags.emplace(key_, value);
        }
        return true;
    }
    bool start_object(std::size_t) override {
        if (depth_ == 1 && key_ == "tags") {
            in_tags_ = true;
            seen_tags_ = true;
        } else if (depth_ == 1 && (key_ == "release" || key_ == "environment")) {
            return false;
        }
        return ++depth_ <= 8;
    }
    bool end_object() override {
        if (--depth_ == 1) {
            in_tags_ = false;
        }
        return true;
    }
    bool start_array(std::size_t) override { return Other() && ++depth_ <= 8; }
    bool end_array() override {
        --depth_;
        return true;
    }
    bool key(string_t& name) override {
        key_ = name;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

    bool Complete() const { return seen_release_ && seen_environment_ && seen_tags_; }

  private:
    // A value that is not a string where the report must hold one fails the read.
    bool Other() const {
        return !(depth_ == 1 && (key_ == "release" || key_ == "environment")) &&
               !(depth_ == 2 && in_tags_);
    }

    ReadReport& report_;
    int depth_ = 0;
    std::string key_;
    bool in_tags_ = false;
    bool seen_release_ = false;
    bool seen_environment_ = false;
    bool seen_tags_ = false;
};

}  // namespace

bool ReadReportBack(const std::string& text, ReadReport& report) {
    ReportEvents events(report);
    return Json::sax_parse(text, &events) && events.Complete();
}

bool ReadEventItem(const std::string& envelope, std::string& event) {
    const size_t header_end = envelope.find('\n');
    if (header_end == std::string::npos) {
        return false;
    }
    const size_t item_end = envelope.find('\n', header_end + 1);
    if (item_end == std::string::npos) {
        return false;
    }
    const Json item =
        Json::parse(envelope.substr(header_end + 1, item_end - header_end - 1), nullptr, false);
    if (!item.is_object() || item.value("type", "") != "event" || !item["length"].is_number()) {
        return false;
    }
    const size_t length = item["length"].get<size_t>();
    if (item_end + 1 + length > envelope.size() || !Json::accept(envelope.substr(0, header_end))) {
        return false;
    }
    event = envelope.substr(item_end + 1, length);
    return true;
}
