#pragma once

// /metrics as the Prometheus client library parses it (tests/apps/parse_metrics.py), for tests
// of the programs' HTTP side.
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>

#include "tests/apps/http_client.h"
#include "tests/apps/programs.h"

namespace testing_support {

struct Sample {
    std::string type, name;
    Json::Value labels;
    double value = 0;
};

inline Json::Value parse_json(const std::string& text) {
    Json::Value v;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(builder, in, &v, &errors)) << errors << "\n" << text;
    return v;
}

// The samples of the program's /metrics on `port`; `dir` holds the text for the parser.
inline std::vector<Sample> metrics_samples(int port, const std::string& dir) {
    const HttpReply r = http_get(port, "/metrics");
    EXPECT_EQ(r.status, 200);
    write_file(dir + "/metrics.txt", r.body);
    const Finished parsed = run_program(
        {"/usr/bin/python3", std::string(KAVREN_SOURCE_DIR) + "/tests/apps/parse_metrics.py",
         dir + "/metrics.txt"});
    EXPECT_EQ(parsed.status, 0) << parsed.err << "\n" << r.body;
    std::vector<Sample> samples;
    std::istringstream lines(parsed.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        Sample s;
        std::string labels, value;
        std::getline(fields, s.type, '\t');
        std::getline(fields, s.name, '\t');
        std::getline(fields, labels, '\t');
        std::getline(fields, value, '\t');
        s.labels = parse_json(labels);
        s.value = std::stod(value);
        samples.push_back(s);
    }
    return samples;
}

// The first sample of that name with those labels (among others), or null.
inline const Sample* find(const std::vector<Sample>& samples, const std::string& name,
                          const std::map<std::string, std::string>& labels) {
    for (const Sample& s : samples) {
        if (s.name != name) continue;
        bool all = true;
        for (const auto& l : labels) all &= s.labels[l.first].asString() == l.second;
        if (all) return &s;
    }
    return nullptr;
}

inline std::size_t count_named(const std::vector<Sample>& samples, const std::string& name) {
    std::size_t n = 0;
    for (const Sample& s : samples) n += s.name == name;
    return n;
}

}  // namespace testing_support
