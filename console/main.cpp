#include "common/process_state.h"
#include "console/banner.h"
#include "console/command_line.h"
#include "console/entry_editor.h"
#include "console/hot_keys.h"
#include "dns/server_addresses.h"
#include "dns/server_thread.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/keyboard.h"
#include "platform/network.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <cstdio>
#include <span>

namespace {

constexpr int UnreadableFileExitCode = 1;
constexpr int RefusedArgumentsExitCode = 2;
constexpr int ServiceFailedExitCode = 3;

} // namespace

int main(int argumentCount, char** arguments) {
    StartConsoleOutput();
    ConsoleIsTerminal = StandardOutputIsTerminal();
    SetConsoleTitle(ConsoleTitle);
    PrintBanner();
    ConsoleHomePosition = {0, BannerRows};

    const CommandLineResult commandLine = ReadStartupOptions(argumentCount, arguments);
    if (!commandLine.error.empty()) {
        std::fputs(commandLine.error.c_str(), stdout);
        return RefusedArgumentsExitCode;
    }
    const StartupOptions& options = commandLine.options;
    if (options.fileNamed)
        ResolutionFileName = options.resolutionFileName;
    LocalAddresses.defaultAddress = options.defaultAddress;

    StartNetwork();
    if (!options.openEditor)
        BuildLocalAddressList(std::span(options.addedAddresses.data(), options.addedCount),
                              std::span(options.excludedAddresses.data(), options.excludedCount));

    std::fputs("\n> Loading resolutions: ", stdout);
    RemoveAbandonedTemporaryFiles(ResolutionFileName.data());
    ResolutionFileLoad load = LoadResolutionFile(ResolutionFileName.data());
    if (load.error != 0) {
        // Running on an empty table would overwrite the file at the first change.
        std::printf("\n> Error: could not read resolutions from %s: %s\n", ResolutionFileName.data(),
                    ErrorText(load.error).c_str());
        StopNetwork();
        return UnreadableFileExitCode;
    }
    // The table lives until the process ends.
    Resolutions = load.table.release();
    std::puts("Done. Entries:");
    PrintEntryList();

    int exitCode = 0;
    if (options.openEditor || ResolutionCount(*Resolutions) == 0) {
        RunEntryEditor();
    } else {
        std::puts("> DNS server running\n");
        // Blocked before the server thread starts, so that it inherits the mask and the console thread alone
        // takes the quit signals.
        BlockQuitSignals();
        ServiceSettings settings;
        if (load.exact && load.identity.inode != 0)
            settings.loadedFile = load.identity;
        settings.onEnded = NotifyServiceEnded;
        StartServerThread(settings);
        // Without a terminal (under a service manager) a service that could not start is a failure to report.
        if (RunHotKeyLoop() == HotKeyLoopEnd::ServiceEnded && StopServerThread() == ServiceEnd::SetUpFailed)
            exitCode = ServiceFailedExitCode;
    }
    StopServerThread();
    StopNetwork();
    return exitCode;
}
