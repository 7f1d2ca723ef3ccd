#include "console/command_line.h"
#include "console/entry_editor.h"
#include "console/hot_keys.h"
#include "console/startup_report.h"
#include "dns/resolver_pool.h"
#include "dns/server_addresses.h"
#include "dns/server_thread.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/signals.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int UnreadableFileExitCode = 1;
constexpr int RefusedArgumentsExitCode = 2;
constexpr int ServiceFailedExitCode = 3;

// Service mode: the DNS service while the hot-key loop runs. Without a terminal (a service manager) a service
// that could not start, or that an empty datagram ended, ends the program.
int RunService(ServiceSettings settings) {
    std::puts("> DNS server running\n");
    // Blocked before the server thread starts, so that it inherits the mask and the console thread alone takes
    // the quit signals.
    BlockQuitSignals();
    settings.onEnded = NotifyServiceEnded;
    const unsigned port = settings.port;
    DnsService service;
    const ServiceSetUp setUp = StartServerThread(service, std::move(settings));
    PrintSetUpError(setUp, port);
    const HotKeyLoopEnd end = RunHotKeyLoop(setUp.step != ServiceSetUp::Step::Done, service);
    StopServerThread(service);
    return end == HotKeyLoopEnd::ServiceFailed ? ServiceFailedExitCode : 0;
}

} // namespace

int main(int argumentCount, char** arguments) {
    StartConsoleOutput();
    const bool terminal = StandardOutputIsTerminal();
    SetConsoleTitle(ConsoleTitle);
    PrintBanner();

    const CommandLineResult commandLine = ReadStartupOptions(argumentCount, arguments);
    if (!commandLine.error.empty()) {
        std::fputs(commandLine.error.c_str(), stdout);
        return RefusedArgumentsExitCode;
    }
    const StartupOptions& options = commandLine.options;
    const std::string& fileName = options.resolutionFileName;

    StartNetwork();
    std::vector<InterfaceAddress> machine;
    LocalAddressList addresses;
    if (!options.openEditor) {
        machine = ListInterfaceAddresses();
        addresses =
            BuildLocalAddressList(machine, options.addedAddresses, options.excludedAddresses, options.defaultAddress);
        PrintLocalAddresses(addresses);
    }

    std::fputs("\n> Loading resolutions: ", stdout);
    RemoveAbandonedTemporaryFiles(fileName.c_str());
    ResolutionFileLoad load = LoadResolutionFile(fileName.c_str());
    if (load.error != 0) {
        // Running on an empty table would overwrite the file at the first change.
        std::printf("\n> Error: could not read resolutions from %s: %s\n", fileName.c_str(),
                    ErrorText(load.error).c_str());
        StopNetwork();
        return UnreadableFileExitCode;
    }
    const std::unique_ptr<ResolutionTable> table = std::move(load.table);
    std::puts("Done. Entries:");
    PrintEntryList(*table, terminal);

    int exitCode = 0;
    if (options.openEditor || ResolutionCount(*table) == 0) {
        EditorSettings editor{*table, fileName, terminal, BannerRows};
        if (load.whole)
            editor.loaded = load.identity;
        RunEntryEditor(editor);
    } else {
        auto resolverPool = std::make_unique<ResolverPool>();
        ServiceSettings settings;
        settings.table = table.get();
        settings.fileName = fileName;
        settings.addresses = addresses;
        settings.machine = machine;
        settings.terminal = terminal;
        settings.resolverPool = resolverPool.get();
        settings.loadedFile = {load.identity, load.exact, ResolutionCount(*table)};
        exitCode = RunService(std::move(settings));
        // Once started, its threads may still be inside a lookup, which nothing can interrupt: the pool is left to
        // the end of the process.
        if (resolverPool->started)
            resolverPool.release();
    }
    StopNetwork();
    return exitCode;
}
