// An interpreter for unit tests: a table of functions that record each call
// (as the stand-in library writes its log lines, but unescaped) and return
// the code set for them. One fake is active at a time: the latest made.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "policy/deployment.h"

namespace zorva::scene {

class InterpreterFake {
public:
    InterpreterFake() { active() = this; }
    ~InterpreterFake() { active() = nullptr; }
    InterpreterFake(const InterpreterFake &) = delete;
    InterpreterFake &operator=(const InterpreterFake &) = delete;

    const InterpreterTable &table() const {
        static const InterpreterTable t{
            [] { return active()->call("compileInitPolicy", "compileInitPolicy"); },
            [] { return active()->call("deployPolicy", "deployPolicy"); },
            [](const char *section, const char *text) {
                return active()->call("compileSectionPolicy",
                                      std::string("compileSectionPolicy ") + section + " " + text);
            },
            [] { return active()->call("sendPolicy", "sendPolicy"); },
            [](const char *name, const char *value, unsigned int type) {
                return active()->call("modifyDynamicVariable", std::string("modifyDynamicVariable ") + name + " " +
                                                                   value + " " + std::to_string(type));
            },
        };
        return t;
    }

    void failWith(const std::string &function, int code) { failures_[function] = code; }
    const std::vector<std::string> &calls() const { return calls_; }
    void clearCalls() { calls_.clear(); }
    void succeedAll() { failures_.clear(); }

private:
    static InterpreterFake *&active() {
        static InterpreterFake *fake = nullptr;
        return fake;
    }
    int call(const std::string &function, std::string line) {
        calls_.push_back(std::move(line));
        auto it = failures_.find(function);
        return it == failures_.end() ? 0 : it->second;
    }

    std::vector<std::string> calls_;
    std::map<std::string, int> failures_;
};

}  // namespace zorva::scene
