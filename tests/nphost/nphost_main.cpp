// nphost: loads the plug-in as a browser does and makes page-script calls
// on its scriptable object, printing each result.
//
//   nphost PLUGIN [--repeat N] CALL...
//   CALL is Method or Method(arg,...); #N is the integer N, anything else a string.
//   With --repeat, each call runs N times and its mean time is printed too.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "browserhost.h"

namespace {

struct Call {
    std::string method;
    std::vector<NPVariant> args;
    std::string text;
};

Call Parse(const std::string& text)
{
    Call call;
    call.text = text;
    size_t open = text.find('(');
    call.method = text.substr(0, open);
    if (open == std::string::npos)
        return call;
    std::string inner = text.substr(open + 1, text.size() - open - 2);
    if (inner.empty() && text.back() == ')')
        return call;
    size_t start = 0;
    while (true) {
        size_t comma = inner.find(',', start);
        std::string arg = inner.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (arg.size() > 1 && arg[0] == '#')
            call.args.push_back(BrowserHost::Int(std::atoi(arg.c_str() + 1)));
        else
            call.args.push_back(BrowserHost::String(arg));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return call;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: nphost PLUGIN [--repeat N] CALL...\n");
        return 2;
    }
    BrowserHost host(argv[1]);
    if (!host.error.empty()) {
        std::fprintf(stderr, "nphost: %s\n", host.error.c_str());
        return 1;
    }
    NPP_t instance{};
    if (host.GetEntryPoints() != NPERR_NO_ERROR || host.Initialize() != NPERR_NO_ERROR ||
        host.NewInstance(&instance) != NPERR_NO_ERROR) {
        std::fprintf(stderr, "nphost: the plug-in did not start\n");
        return 1;
    }
    NPObject* object = host.ScriptableObject(&instance);
    if (object == nullptr) {
        std::fprintf(stderr, "nphost: no scriptable object\n");
        return 1;
    }

    int repeat = 1;
    int first = 2;
    if (std::string(argv[2]) == "--repeat" && argc > 4) {
        repeat = std::atoi(argv[3]);
        first = 4;
    }
    for (int i = first; i < argc; ++i) {
        Call call = Parse(argv[i]);
        std::string answer;
        auto start = std::chrono::steady_clock::now();
        for (int r = 0; r < repeat; ++r) {
            NPVariant result;
            if (!host.Call(object, call.method, call.args, &result)) {
                answer = "refused (no such method)";
                continue;
            }
            answer = BrowserHost::Describe(result);
        }
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / repeat;
        if (repeat > 1)
            std::printf("%-40s -> %s  [%.1f ms per call]\n", call.text.c_str(), answer.c_str(), ms);
        else
            std::printf("%-40s -> %s\n", call.text.c_str(), answer.c_str());
    }
    object->_class->deallocate(object);
    host.Shutdown();
    return 0;
}
