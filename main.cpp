// Entry point: picks the action from the first argument, checks and converts the arguments,
// runs one command and turns its result into the exit status.

#include <fcntl.h>
#include <libgen.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kel_arkcommand.h"
#include "lib/kel_dfufirmware.h"

namespace {

// Standard output that did not take the text is named on standard error.
bool flushOutput(const char* what)
{
    if (std::fflush(stdout) == 0 && !std::ferror(stdout))
        return true;
    std::fprintf(stderr, "Can't write the %s: %s\n", what, std::strerror(errno != 0 ? errno : EIO));
    return false;
}

void printUsage(FILE* stream, int argc, const char** argv)
{
    // basename may modify its argument, so it gets a copy.
    std::vector<char> path;
    const char* name = "tool";
    if (argc != 0) {
        const std::string argv0 = argv[0] ? argv[0] : "";
        path.assign(argv0.begin(), argv0.end());
        path.push_back('\0');
        name = ::basename(path.data());
        if (!name)
            name = "???";
    }

    std::fprintf(stream, "Usage:\n\n");
    std::fprintf(stream, "  %s version\n", name);
    std::fprintf(stream, "  %s devices [idVendor [idProduct]]\n", name);
    std::fprintf(stream, "  %s monitor [idVendor [idProduct]]\n", name);
    std::fprintf(stream, "  %s backup <deviceIdenifier> <destinationFirmwareFile>\n", name);
    std::fprintf(stream, "  %s update <deviceIdenifier> <sourceFirmwareFile>\n", name);
    std::fprintf(stream, "  %s set <deviceIdenifier> [name [name...]]\n", name);
    std::fprintf(stream, "  %s get <deviceIdenifier> [name [name...]]\n", name);
    std::fprintf(stream, "  %s reset <deviceIdenifier>\n", name);
    std::fprintf(stream, "  %s dfufile [filename [filename...]]\n", name);
    std::fprintf(stream, "\n");
}

bool handleUsage(int argc, const char** argv, const char* message)
{
    if (message)
        std::fprintf(stderr, "Error: %s\n\n", message);
    printUsage(stderr, argc, argv);
    return message == nullptr;
}

// --help: the usage, asked for, is the output.
bool handleHelp(int argc, const char** argv)
{
    printUsage(stdout, argc, argv);
    return flushOutput("usage");
}

bool handleVersionText()
{
    std::printf("hiddfu %s\n", kel::kVersionText);
    return flushOutput("version");
}

bool handleVersion(int, const char**)
{
    return kel::ark_CommandVersion();
}

// "%i" stops at the first character that is not part of the number, so "0a12" is octal 0
// (no filter at all): say what was left over.
bool readFilter(const char* text, int& value, const char* what)
{
    int end = 0;
    if (std::sscanf(text, "%i %n", &value, &end) != 1)
        return false;
    if (text[end] != '\0')
        std::fprintf(stderr, "Warning: %s \"%s\" is read as %d; \"%s\" after the number is ignored\n", what, text,
                     value, text + end);
    return true;
}

bool handleDevices(int argc, const char** argv, bool monitor)
{
    // 0 means no filter.
    int idVendor = 0;
    int idProduct = 0;
    if (argc > 4)
        return handleUsage(argc, argv, "unexpected arguments supplied");
    if (argc >= 3 && !readFilter(argv[2], idVendor, "idVendor"))
        return handleUsage(argc, argv, "Invalid idVendor");
    if (argc == 4 && !readFilter(argv[3], idProduct, "idProduct"))
        return handleUsage(argc, argv, "Invalid idProduct");
    return kel::ark_CommandDevices(static_cast<unsigned short>(idVendor), static_cast<unsigned short>(idProduct),
                                   monitor);
}

bool handleFirmware(int argc, const char** argv, bool backup)
{
    if (argc != 4)
        return handleUsage(argc, argv, "Invalid argument count");
    return backup ? kel::ark_CommandBackup(argv[2], argv[3]) : kel::ark_CommandUpdate(argv[2], argv[3]);
}

bool handleControl(int argc, const char** argv, bool get)
{
    if (argc < 3)
        return handleUsage(argc, argv, "Invalid argument count");
    const std::vector<std::string> names(argv + 3, argv + argc);
    return kel::ark_CommandControl(argv[2], names, get);
}

bool handleReset(int argc, const char** argv)
{
    if (argc != 3)
        return handleUsage(argc, argv, "Invalid argument count");
    return kel::ark_CommandReset(argv[2]);
}

bool handleDfuFile(int argc, const char** argv)
{
    for (int i = 2; i < argc; ++i) {
        kel::DfuFirmware firmware;
        std::string reason;
        if (!firmware.load(argv[i], false, &reason)) {
            std::fprintf(stderr, "Invalid DFU file %s: %s\n", argv[i], reason.c_str());
        } else {
            firmware.printDescription(stdout, argv[i], 8, 32);
            if (!flushOutput("DFU file description"))
                return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    // A closed standard descriptor would be taken by the next file opened, and documents or
    // diagnostics written into that.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF && ::open("/dev/null", O_RDWR) < 0)
            return -1;
    }

    const char** args = const_cast<const char**>(argv);
    bool result;
    if (argc < 2) {
        result = handleUsage(argc, args, nullptr);
    } else {
        const std::string action = args[1];
        if (action == "version")
            result = handleVersion(argc, args);
        else if (action == "--help" || action == "-h")
            result = handleHelp(argc, args);
        else if (action == "--version" || action == "-V")
            result = handleVersionText();
        else if (action == "devices")
            result = handleDevices(argc, args, false);
        else if (action == "monitor")
            result = handleDevices(argc, args, true);
        else if (action == "backup")
            result = handleFirmware(argc, args, true);
        else if (action == "update")
            result = handleFirmware(argc, args, false);
        else if (action == "set")
            result = handleControl(argc, args, false);
        else if (action == "get")
            result = handleControl(argc, args, true);
        else if (action == "reset")
            result = handleReset(argc, args);
        else if (action == "dfufile")
            result = handleDfuFile(argc, args);
        else
            result = handleUsage(argc, args, "Invalid action");
    }
    return result ? 0 : -1;
}
