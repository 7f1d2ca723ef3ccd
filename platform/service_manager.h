#pragma once

#include <string_view>

// What the program does as a service: takes the arguments the service was registered with, returns its exit code.
using ServiceWork = int (*)(int argumentCount, char** arguments);

// When the system's service manager started this process, runs `work` as its one service, reports it stopped with
// `work`'s exit code (a code other than 0 as the service's own error, so that recovery actions apply) and returns
// true, the code in `exitCode`. Returns false at once, having run nothing, in any other run.
bool RunAsService(ServiceWork work, int argumentCount, char** arguments, int& exitCode);

// Tells the service manager that the service is up and takes stop requests; from then on a request to reload
// (paramchange) or for the statistics line (control 128) reaches WaitForConsoleEvent as SIGHUP and SIGUSR1 do
// elsewhere. Does nothing outside a service.
void ReportServiceRunning();

enum class ServiceEvent { Started, Stopped, SetUpFailed, SaveFailed };

// Adds an entry of the kind to the system's log under the service's name, one event ID a kind, with the console
// line that tells the details. Does nothing outside a service.
void ReportServiceEvent(ServiceEvent event, std::string_view line);
