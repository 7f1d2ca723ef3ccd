#include "console/command_line.h"
#include "console/entry_editor.h"
#include "console/hot_keys.h"
#include "console/install_command.h"
#include "console/startup_report.h"
#include "dns/resolver_pool.h"
#include "dns/server_addresses.h"
#include "dns/server_thread.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/network.h"
#include "platform/service_install.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "resolutions/resolution_file.h"
#include "resolutions/resolution_table.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int UnreadableFileExitCode = 1;
constexpr int RefusedArgumentsExitCode = 2;
constexpr int ServiceFailedExitCode = 3;
constexpr int NothingToServeExitCode = 4;
// A service manager that restarts only a failed service (Windows' recovery actions) must see one here.
constexpr int StoppedByDatagramExitCode = 5;

// A service has no console: its lines go beside the table, under the table's name.
std::string ServiceLogFileName(const std::string& resolutionFileName) { return resolutionFileName + ".log"; }

// A line that keeps a service from starting goes to the system's log as well, where an administrator looks first.
void PrintStartError(const std::string& line, bool underServiceManager) {
    std::fputs(line.c_str(), stdout);
    if (underServiceManager)
        ReportServiceEvent(ServiceEvent::SetUpFailed, line);
}

// Service mode: the DNS service while the hot-key loop runs. Without a terminal (a service manager) a service
// that could not start, or that an empty datagram ended, ends the program.
int RunService(ServiceSettings settings, bool underServiceManager) {
    // Blocked before any other thread starts (the resolver's start with the set-up), so that they inherit the mask
    // and the console thread alone takes the signals.
    BlockQuitSignals();
    // Bound before the report that it runs, so that a client who reads it finds the port open.
    DnsService service;
    const ServiceSetUp setUp = SetUpService(service, settings);
    std::puts("> DNS server running\n");
    settings.onEnded = NotifyServiceEnded;
    if (underServiceManager)
        settings.onSaveFailed = [](std::string_view line) { ReportServiceEvent(ServiceEvent::SaveFailed, line); };
    const unsigned port = settings.port;
    StartServerThread(service, std::move(settings));
    PrintSetUpReport(setUp, port);
    if (setUp.step == ServiceSetUp::Step::Done) {
        ReportServiceRunning();
        ReportServiceEvent(ServiceEvent::Started, "> DNS server running");
    } else if (underServiceManager) {
        ReportServiceEvent(ServiceEvent::SetUpFailed, SetUpReportText(setUp, port));
    }
    const HotKeyLoopEnd end = RunHotKeyLoop(service, setUp.step != ServiceSetUp::Step::Done);
    StopServerThread(service);
    // A stop by an empty datagram has its own line, with its sender.
    if (end == HotKeyLoopEnd::Quit && setUp.step == ServiceSetUp::Step::Done) {
        std::puts("> DNS server stopped");
        ReportServiceEvent(ServiceEvent::Stopped, "> DNS server stopped");
    } else if (end == HotKeyLoopEnd::ServiceEnded) {
        ReportServiceEvent(ServiceEvent::Stopped,
                           "> DNS server stopped by an empty datagram; the log names its sender");
    }
    if (end == HotKeyLoopEnd::ServiceEnded && underServiceManager)
        return StoppedByDatagramExitCode;
    return end == HotKeyLoopEnd::ServiceFailed ? ServiceFailedExitCode : 0;
}

int RunProgram(int argumentCount, char** arguments, bool underServiceManager) {
    StartConsoleOutput();
    CommandLineResult commandLine = ReadStartupOptions(argumentCount, arguments);
    // A service's working directory is the system's: its table is the installed one unless one is named.
    if (underServiceManager && !commandLine.options.fileNamed && !ServiceDataFolder().empty())
        commandLine.options.resolutionFileName = ServiceDataFolder() + "\\default.drf";
    if (underServiceManager) {
        const std::string log = ServiceLogFileName(commandLine.options.resolutionFileName);
        // Serving matters more than its log: the service goes on without one.
        if (const int error = SendConsoleOutputTo(log.c_str()); error != 0)
            ReportServiceEvent(ServiceEvent::SetUpFailed,
                               "> Error: could not open the log " + log + ": " + ErrorText(error) + "\n");
    }
    const bool terminal = StandardOutputIsTerminal();
    SetConsoleTitle(ConsoleTitle);
    PrintBanner();

    if (!commandLine.error.empty()) {
        PrintStartError(commandLine.error, underServiceManager);
        return RefusedArgumentsExitCode;
    }
    const StartupOptions& options = commandLine.options;
    const std::string& fileName = options.resolutionFileName;
    if (options.install && !underServiceManager)
        return InstallService(options.fileNamed ? fileName : std::string());
    if (options.uninstall && !underServiceManager)
        return UninstallService();

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
        PrintStartError("\n> Error: could not read resolutions from " + fileName + ": " + ErrorText(load.error) + "\n",
                        underServiceManager);
        StopNetwork();
        return UnreadableFileExitCode;
    }
    const std::unique_ptr<ResolutionTable> table = std::move(load.table);
    std::puts("Done. Entries:");
    PrintEntryList(*table, terminal);

    int exitCode = 0;
    const bool openEditor = options.openEditor || ResolutionCount(*table) == 0;
    if (openEditor && underServiceManager) {
        // Nobody could use the editor, and a service that ran on with nothing to serve would look healthy.
        PrintStartError(options.openEditor ? "> Error: a service cannot open the Entry Editor\n"
                                           : "> Error: no entries to serve in " + fileName + "\n",
                        underServiceManager);
        exitCode = NothingToServeExitCode;
    } else if (openEditor) {
        EditorSettings editor{*table, fileName, terminal, BannerRows};
        editor.loaded = {load.identity, load.exact, ResolutionCount(*table)};
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
        exitCode = RunService(std::move(settings), underServiceManager);
        // Once started, its threads may still be inside a lookup, which nothing can interrupt: the pool is left to
        // the end of the process.
        if (resolverPool->started)
            resolverPool.release();
    }
    StopNetwork();
    return exitCode;
}

} // namespace

int main(int argumentCount, char** arguments) {
    std::vector<std::string> texts = ProgramArguments(argumentCount, arguments);
    std::vector<char*> utf8;
    for (std::string& text : texts)
        utf8.push_back(text.data());
    utf8.push_back(nullptr);
    const int count = static_cast<int>(texts.size());
    int exitCode = 0;
    const ServiceWork asService = [](int serviceArgumentCount, char** serviceArguments) {
        const int serviceExitCode = RunProgram(serviceArgumentCount, serviceArguments, true);
        FinishConsoleOutput();
        return serviceExitCode;
    };
    if (RunAsService(asService, count, utf8.data(), exitCode))
        return exitCode;
    exitCode = RunProgram(count, utf8.data(), false);
    FinishConsoleOutput();
    return exitCode;
}
