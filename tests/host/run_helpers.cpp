#include "run_helpers.h"

#include <iostream>

#include "uninstall/key_prompts.h"
#include "uninstall/option_scanner.h"

namespace host_test {

void FreshProcess() {
    sim::Reset();
    vx::ForgetConsoleDevice();
    vx::optreset = 1; // the next scan starts from the first argument
}

int RunProgram(const std::vector<std::wstring>& arguments) {
    std::vector<std::wstring> storage;
    storage.push_back(L"C:\\tools\\vxuninstall.exe");
    storage.insert(storage.end(), arguments.begin(), arguments.end());
    std::vector<wchar_t*> argv;
    for (std::wstring& argument : storage)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    vx::optreset = 1;
    const int code = wmain(static_cast<int>(storage.size()), argv.data());
    std::wcout.flush();
    return code;
}

int RunProgram(std::initializer_list<const wchar_t*> arguments) {
    std::vector<std::wstring> list;
    for (const wchar_t* argument : arguments)
        list.emplace_back(argument);
    return RunProgram(list);
}

const std::string& Out() { return sim::Current().stdoutBytes; }
const std::string& Err() { return sim::Current().stderrBytes; }

std::vector<std::string> CallsStartingWith(std::initializer_list<const char*> prefixes) {
    std::vector<std::string> selected;
    for (const std::string& call : sim::Current().calls)
        for (const char* prefix : prefixes)
            if (call.rfind(prefix, 0) == 0) {
                selected.push_back(call);
                break;
            }
    return selected;
}

std::size_t IndexOf(const std::string& prefix, std::size_t nth) {
    const std::vector<std::string>& calls = sim::Current().calls;
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0 && nth-- == 0)
            return i;
    return calls.size();
}

std::string TranscriptBefore(std::size_t end) {
    const std::vector<std::string>& calls = sim::Current().calls;
    std::string text;
    for (std::size_t i = 0; i < end && i < calls.size(); ++i)
        if (calls[i].rfind("stdout \"", 0) == 0 || calls[i].rfind("stderr \"", 0) == 0)
            text += calls[i].substr(8, calls[i].size() - 9);
    return text;
}

std::string Transcript() { return TranscriptBefore(sim::Current().calls.size()); }

bool LineEndsAreCrLf(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return false;
        if (bytes[i] == '\r' && i > 0 && bytes[i - 1] == '\r')
            return false;
    }
    return true;
}

} // namespace host_test
