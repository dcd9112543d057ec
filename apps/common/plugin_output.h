#pragma once

#include <functional>
#include <iostream>
#include <streambuf>
#include <string>

namespace kavren::app {

// A plug-in writes its diagnostic lines to this process's std::cout. While one of these lives,
// std::cout goes to the given buffer; the previous one comes back when it ends.
class StdoutRedirect {
  public:
    explicit StdoutRedirect(std::streambuf* to) : previous_(std::cout.rdbuf(to)) {}
    ~StdoutRedirect() { std::cout.rdbuf(previous_); }
    std::streambuf* previous() const { return previous_; }

    StdoutRedirect(const StdoutRedirect&) = delete;
    StdoutRedirect& operator=(const StdoutRedirect&) = delete;

  private:
    std::streambuf* previous_;
};

// Takes what the plug-in writes and hands it on line by line (without the newline), so that its
// diagnostic lines never mix into the host's own output. A null sink discards everything.
class PluginLineLog : public std::streambuf {
  public:
    using Sink = std::function<void(const std::string&)>;
    explicit PluginLineLog(Sink sink = {}) : sink_(std::move(sink)) {}

  protected:
    int overflow(int ch) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

  private:
    void put(char c);
    Sink sink_;
    std::string line_;
};

}  // namespace kavren::app
