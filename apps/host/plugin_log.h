#pragma once

#include <functional>
#include <streambuf>
#include <string>

namespace kavren::host {

// Takes what the plug-in writes to std::cout and hands it on line by line, so that its
// diagnostic lines never mix into the host's own output.
class PluginLineLog : public std::streambuf {
  public:
    using Sink = std::function<void(const std::string&)>;
    explicit PluginLineLog(Sink sink) : sink_(std::move(sink)) {}

  protected:
    int overflow(int ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

  private:
    void put(char c);
    Sink sink_;
    std::string line_;
};

}  // namespace kavren::host
