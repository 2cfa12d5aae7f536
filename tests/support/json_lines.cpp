#include "json_lines.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

namespace testsupport {

namespace {

std::string text_of(const rapidjson::Value& value) {
    if (value.IsString()) {
        return {value.GetString(), value.GetStringLength()};
    }
    if (value.IsBool()) {
        return value.GetBool() ? "true" : "false";
    }
    if (value.IsUint64()) {
        return std::to_string(value.GetUint64());
    }
    if (value.IsInt64()) {
        return std::to_string(value.GetInt64());
    }
    std::string joined;
    if (value.IsArray()) {
        for (const auto& item : value.GetArray()) {
            joined += (joined.empty() ? "" : ",") + text_of(item);
        }
    }
    return joined;
}

}  // namespace

std::vector<Json_Line> json_lines(const std::string& out) {
    std::vector<Json_Line> lines;
    std::size_t at = 0;
    for (std::size_t end = 0; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        rapidjson::Document line;
        line.Parse(out.data() + at, end - at);
        if (line.HasParseError() || !line.IsObject()) {
            ADD_FAILURE() << "not a JSON object: " << out.substr(at, end - at);
            continue;
        }
        Json_Line& members = lines.emplace_back();
        for (const auto& member : line.GetObject()) {
            members[member.name.GetString()] = text_of(member.value);
        }
    }
    EXPECT_EQ(at, out.size()) << "a line without its end: " << out.substr(at);
    return lines;
}

long json_count(const std::vector<Json_Line>& lines, const std::string& event) {
    long count = 0;
    for (const Json_Line& line : lines) {
        if (line.at("event") == event) {
            count += std::stol(line.at("count"));
        }
    }
    return count;
}

std::vector<Printout> json_printouts(const std::vector<Json_Line>& lines) {
    std::vector<Printout> found;
    for (const Json_Line& line : lines) {
        const std::string& event = line.at("event");
        if (event != "vector" && event != "incomplete") {
            continue;
        }
        const auto slot = [&line](const char* name) {
            const auto at = line.find(name);
            return at == line.end() ? std::string() : at->second;
        };
        found.push_back({slot("ip"), slot("port"), slot("msg")});
    }
    return found;
}

std::vector<Printout> printouts_in(const std::string& out, bool json) {
    return json ? json_printouts(json_lines(out)) : printouts_in(out);
}

long told_drops(const std::string& out, bool json) {
    return json ? json_count(json_lines(out), "dropped")
                : told_count(out, " dropped by the system");
}

long told_set_aside(const std::string& out, bool json) {
    return json ? json_count(json_lines(out), "set_aside") : told_count(out, " set aside after");
}

}  // namespace testsupport
