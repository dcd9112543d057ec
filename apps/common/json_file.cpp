#include "apps/common/json_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace kavren::app {

Json::Value read_json_file(const std::string& path) {
    // Settings and configuration are small files; a device or a pipe named by mistake would
    // never end.
    constexpr long long kLargestFile = 16 * 1024 * 1024;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    if (!S_ISREG(info.st_mode))
        throw std::runtime_error("cannot read " + path + ": not a regular file");
    if (info.st_size > kLargestFile)
        throw std::runtime_error("cannot read " + path + ": larger than 16 MiB");
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error("cannot read " + path + ": read error");
    const std::string content = text.str();
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(content.data(), content.data() + content.size(), &value, &errors)) {
        std::string first_line = errors.substr(0, errors.find('\n'));
        throw std::runtime_error(path + ": not valid JSON: " + first_line);
    }
    return value;
}

std::string compact_json(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    builder["precision"] = 9;  // enough to give every single-precision value back exactly
    return Json::writeString(builder, value);
}

}  // namespace kavren::app
