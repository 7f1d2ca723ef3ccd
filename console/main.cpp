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

// The service with a resolver pool of its own.
int RunServiceWithResolverPool(ServiceSettings settings, bool underServiceManager) {
    auto resolverPool = std::make_unique<ResolverPool>();
    settings.resolverPool = resolverPool.get();
    const int exitCode = RunService(std::move(settings), underServiceManager);
    // Once started, its threads may still be inside a lookup, which nothing can interrupt: the pool is left to the
    // end of the process.
    if (resolverPool->started)
        resolverPool.release();
    return exitCode;
}

// The command line, with the installed table for a service that names none: a service's working directory is the
// system's.
CommandLineResult ReadCommandLine(int argumentCount, char** arguments, bool underServiceManager) {
    CommandLineResult commandLine = ReadStartupOptions(argumentCount, arguments);
    if (underServiceManager && !commandLine.options.fileNamed && !ServiceDataFolder().empty())
        commandLine.options.resolutionFileName = ServiceDataFolder() + "\\default.drf";
    return commandLine;
}

void SendConsoleOutputToServiceLog(const std::string& resolutionFileName) {
    const std::string log = ServiceLogFileName(resolutionFileName);
    // Serving matters more than its log: the service goes on without one.
    if (const int error = SendConsoleOutputTo(log.c_str()); error != 0)
        ReportServiceEvent(ServiceEvent::SetUpFailed,
                           "> Error: could not open the log " + log + ": " + ErrorText(error) + "\n");
}

struct FoundAddresses {
    std::vector<InterfaceAddress> machine;
    LocalAddressChoice choice;
    LocalAddressList server;
};

// The machine's addresses and the server's own, as the command line shapes them; the latter printed.
FoundAddresses FindServerAddresses(const StartupOptions& options) {
    FoundAddresses found;
    found.machine = ListInterfaceAddresses();
    found.choice = {options.addedAddresses, options.excludedAddresses, options.defaultAddress};
    found.server = BuildLocalAddressList(found.machine, found.choice);
    PrintLocalAddresses(found.server);
    return found;
}

// The local domains: those of -d, then the machine's search domains; printed.
LocalDomains FindLocalDomains(const StartupOptions& options) {
    LocalDomains domains;
    for (const std::string& domain : options.localDomains)
        domains.Add(domain);
    for (const std::string& domain : SystemSearchDomains())
        domains.Add(domain);
    PrintLocalDomains(domains);
    return domains;
}

// Loads the table and lists its entries, or prints why the file could not be read (load.error).
ResolutionFileLoad LoadTable(const std::string& fileName, bool terminal, bool underServiceManager) {
    std::fputs("\n> Loading resolutions: ", stdout);
    RemoveAbandonedTemporaryFiles(fileName.c_str());
    ResolutionFileLoad load = LoadResolutionFile(fileName.c_str());
    if (load.error != 0) {
        // Running on an empty table would overwrite the file at the first change.
        PrintStartError("\n> Error: could not read resolutions from " + fileName + ": " + ErrorText(load.error) + "\n",
                        underServiceManager);
        return load;
    }
    std::puts("Done. Entries:");
    PrintEntryList(*load.table, terminal);
    return load;
}

// The Entry Editor, or the DNS service on the server's addresses, with the table loaded.
int LoadAndRun(const StartupOptions& options, bool terminal, bool underServiceManager) {
    const FoundAddresses addresses = options.openEditor ? FoundAddresses{} : FindServerAddresses(options);
    LocalDomains domains = options.openEditor ? LocalDomains{} : FindLocalDomains(options);
    const std::string& fileName = options.resolutionFileName;
    ResolutionFileLoad load = LoadTable(fileName, terminal, underServiceManager);
    if (load.error != 0)
        return UnreadableFileExitCode;
    const std::unique_ptr<ResolutionTable> table = std::move(load.table);
    const KnownResolutionFile loaded{load.identity, load.exact, ResolutionCount(*table)};
    const bool openEditor = options.openEditor || loaded.count == 0;
    if (openEditor && underServiceManager) {
        // Nobody could use the editor, and a service that ran on with nothing to serve would look healthy.
        PrintStartError(options.openEditor ? "> Error: a service cannot open the Entry Editor\n"
                                           : "> Error: no entries to serve in " + fileName + "\n",
                        underServiceManager);
        return NothingToServeExitCode;
    }
    if (openEditor) {
        EditorSettings editor{*table, fileName, terminal, BannerRows};
        editor.loaded = loaded;
        RunEntryEditor(editor);
        return 0;
    }
    ServiceSettings settings;
    settings.table = table.get();
    settings.fileName = fileName;
    settings.addresses = addresses.server;
    settings.machine = addresses.machine;
    settings.addressChoice = addresses.choice;
    settings.terminal = terminal;
    settings.timeToLive = options.timeToLive;
    settings.hostName = MachineHostName();
    settings.localDomains = std::move(domains);
    settings.loadedFile = loaded;
    return RunServiceWithResolverPool(std::move(settings), underServiceManager);
}

int RunProgram(int argumentCount, char** arguments, bool underServiceManager) {
    StartConsoleOutput();
    const CommandLineResult commandLine = ReadCommandLine(argumentCount, arguments, underServiceManager);
    if (underServiceManager)
        SendConsoleOutputToServiceLog(commandLine.options.resolutionFileName);
    const bool terminal = StandardOutputIsTerminal();
    SetConsoleTitle(ConsoleTitle);
    PrintBanner();

    if (!commandLine.error.empty()) {
        PrintStartError(commandLine.error, underServiceManager);
        return RefusedArgumentsExitCode;
    }
    const StartupOptions& options = commandLine.options;
    if (options.install && !underServiceManager)
        return InstallService(options.fileNamed ? options.resolutionFileName : std::string());
    if (options.uninstall && !underServiceManager)
        return UninstallService();
    StartNetwork();
    const int exitCode = LoadAndRun(options, terminal, underServiceManager);
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
