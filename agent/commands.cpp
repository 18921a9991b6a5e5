#include "agent/commands.h"

#include <iterator>

#include "agent/adminrequests.h"
#include "config/agentinfo.h"
#include "handlers/actions.h"
#include "handlers/filecompare.h"
#include "handlers/filelist.h"
#include "handlers/filetests.h"
#include "handlers/nettests.h"
#include "handlers/scripttests.h"
#include "handlers/stubs.h"
#include "handlers/textlog.h"

namespace {

const char kNotApplicable[] = "Always \"500\" \"Not applicable for UNIX/Linux\".";
const char kNotImplemented[] = "Always \"500\" \"not implemented yet\".";
const char kFileTestCodes[] =
    "\"301\" and a message when the object cannot be examined; \"501\" \"Wrong parameter\" "
    "for a bad number; \"600\" \"test is not allowed\" when the right is off.";
const char kActionCodes[] =
    "\"301\" and the error text when it could not be done; \"501\" \"Wrong parameter\" for a "
    "bad or missing parameter; \"600\" \"operation is not allowed\" when the right is off.";
const char kManageCodes[] = "\"600\" \"Operation is not allowed\" without the management right.";

// Entry helpers: the handler kinds and the stubs share their layout.
TCommandDef Plain(const char* name, TRequestHandler handler, bool quick, const char* right,
                  const char* summary, std::vector<TParamDoc> params,
                  std::vector<const char*> values, const char* notes) {
    return TCommandDef{name,  handler, nullptr,           caHandler,         quick,
                       right, summary, std::move(params), std::move(values), notes};
}

TCommandDef Stub(const char* name, TRequestHandler handler, const char* notes) {
    return Plain(name, handler, true, "", "Not available on this platform.", {}, {}, notes);
}

TCommandDef Manage(const char* name, TRequestHandler handler, TContextHandler contextHandler,
                   const char* summary, std::vector<TParamDoc> params,
                   std::vector<const char*> values, const char* notes) {
    return TCommandDef{
        name,    handler,           contextHandler,    caManage, false, "allowmanage manageaddr",
        summary, std::move(params), std::move(values), notes};
}

std::vector<TCommandDef> BuildTable() {
    std::vector<TCommandDef> t;
    t.push_back(Plain("TEST-UNC", ProcessTest_UNC, false, "unc",
                      "Disk space of the file system that holds a path.",
                      {{1, "path", "a path on the file system to measure"}},
                      {"total bytes", "free bytes", "bytes available to unprivileged users"},
                      "\"301\" and the system's error text when the path cannot be examined; "
                      "\"501\" \"Path not specified\" for an empty path."));
    t.push_back(Stub("TEST-DiskSpace", ProcessTest_DiskSpace, kNotApplicable));
    t.push_back(Plain("TEST-FolderSize", ProcessTest_FolderSize, false, "foldersize",
                      "Total size of the files in a folder (or of the files a mask matches).",
                      {{1, "path", "folder, or folder/mask such as /var/log/*.log"},
                       {2, "flag", "1: include sub-folders"},
                       {8, "flag", "1: expand path macros in parameter 1"}},
                      {"total size in bytes"}, kFileTestCodes));
    t.push_back(Plain("TEST-FileExists", ProcessTest_FileExists, false, "fileexists",
                      "Presence, size and age of a file (or of the first file a mask matches).",
                      {{1, "path", "file name; may hold wildcards"},
                       {7, "flag", "1: expand path macros in parameter 1"}},
                      {"size in bytes", "status-change time (DDMMYYYYhhmmss, local time)",
                       "modification time (DDMMYYYYhhmmss)", "the file name examined",
                       "the text \"min\"", "age in whole minutes since the last change"},
                      kFileTestCodes));
    t.push_back(Plain("TEST-FileCompare", ProcessTest_FileCompare, false, "comparefiles",
                      "Compares two files, or searches a file for a text or for another file.",
                      {{1, "mode",
                        "1: compare two files; 2: search file 1 for the content of "
                        "file 2; 3: search file 1 for a text"},
                       {2, "path", "file 1"},
                       {3, "path", "file 2 (modes 1 and 2) or the text to find (mode 3)"},
                       {4, "flag", "mode 1: compare modification times; mode 3: case-sensitive"},
                       {5, "flag", "mode 1: compare sizes; mode 3: whole words only"},
                       {6, "flag", "mode 1: compare contents"},
                       {9, "flag", "mode 2: expand path macros in file 1"},
                       {11, "flag", "mode 3: expand path macros in file 1"},
                       {12, "flag", "mode 1: expand path macros in file 1"},
                       {13, "flag", "mode 1: expand path macros in file 2"}},
                      {"1: equal or found, 0: not"},
                      "\"301\" \"File doesn`t exist\" when a file is missing; \"501\" for an "
                      "unknown mode; \"600\" \"test is not allowed\" when the right is off."));
    t.push_back(Plain("TEST-FileCRC", ProcessTest_FileCRC, false, "filecrc",
                      "CRC-32 of a file's content.", {{1, "path", "file name"}},
                      {"the CRC (0 to 4294967295; 4294967295 for an empty file)"}, kFileTestCodes));
    t.push_back(Plain("TEST-CountFiles", ProcessTest_CountFiles, false, "countfiles",
                      "Number of files in a folder that meet a condition.",
                      {{1, "folder", "folder to search"},
                       {2, "mask", "file name mask, such as *.log"},
                       {3, "flag", "1: include sub-folders"},
                       {4, "mode",
                        "0 all files, 1 older than, 2 newer than (minutes), "
                        "3 bigger than, 4 smaller than (bytes), 5 sub-folders"},
                       {5, "int", "the limit of modes 1 to 4"},
                       {11, "flag", "1: expand path macros in parameter 1"}},
                      {"the count"}, kFileTestCodes));
    t.push_back(Plain("TEST-Process", ProcessTest_Process, false, "process",
                      "Number of running processes of a name (through proccntscript).",
                      {{2, "text", "process name (parameter 1 is not used)"}}, {"the count"},
                      "\"301\" when the script is missing or fails; \"501\" for an empty name; "
                      "\"600\" \"test is not allowed\" when the right is off."));
    t.push_back(Stub("TEST-Service", ProcessTest_Service, kNotApplicable));
    t.push_back(Stub("TEST-NTLog", ProcessTest_NTLog, kNotApplicable));
    t.push_back(Plain("TEST-CPU", ProcessTest_CPU, false, "cpuusage",
                      "CPU usage in percent (through cpuusagescript).", {},
                      {"usage in percent (real number)"},
                      "\"301\" when the script is missing or fails; \"600\" \"test is not "
                      "allowed\" when the right is off."));
    t.push_back(Stub("TEST-PerfCounter", ProcessTest_Perf, kNotApplicable));
    t.push_back(Stub("TEST-Script", ProcessTest_Script, kNotImplemented));
    t.push_back(Stub("TEST-SNMP", ProcessTest_SNMP, kNotImplemented));
    t.push_back(Plain("TEST-ExternalPrg", ProcessTest_External, false, "external",
                      "Runs a program of this host (no shell) and reports its exit code.",
                      {{1, "text", "command line"},
                       {4, "int", "time limit in milliseconds (0: none, -1: do not wait)"}},
                      {"the program's exit code"},
                      "\"301\" and the reason when it could not run; \"501\" for an empty "
                      "command line or a bad limit; \"600\" \"test is not allowed\" when the "
                      "right is off."));
    t.push_back(Stub("TEST-Ping", ProcessTest_Ping, kNotImplemented));
    t.push_back(Plain("TEST-TCP", ProcessTest_TCP, false, "tcp",
                      "Connects to a TCP port, sends data and reads the answer.",
                      {{1, "host", "host name or address"},
                       {2, "port", "port"},
                       {3, "int", "time limit in milliseconds (0: 120000)"},
                       {4, "text", "data to send (multi-line form; may be empty)"},
                       {5, "int", "greatest answer length in bytes (at most 8192)"}},
                      {"duration in milliseconds", "the answer (multi-line form)"},
                      "\"301\", the error text and the failed step's result when the exchange "
                      "fails; \"501\" \"Wrong parameter\" for a bad number; \"600\" when the "
                      "right is off."));
    t.push_back(Plain("TEST-UDP", ProcessTest_UDP, false, "udp",
                      "Sends a UDP datagram and waits for the answer.",
                      {{1, "host", "host name or address"},
                       {2, "port", "port"},
                       {3, "int", "time limit in milliseconds (whole seconds, at least 1)"},
                       {4, "int", "number of attempts (not 0)"},
                       {5, "text", "data to send (multi-line form; not empty)"},
                       {6, "int", "greatest answer length in bytes (at most 8192)"}},
                      {"duration in milliseconds", "the answer (multi-line form)"},
                      "\"301\", the error text and the result when every attempt fails; "
                      "\"501\" \"Wrong parameter\" for a bad number or empty data; \"600\" "
                      "when the right is off."));
    const char* textLogValues[] = {"match offset (0: no match)",
                                   "the matching line (multi-line form, at most 1024 characters)",
                                   "1: another matching line waits after this one",
                                   "position (send back next time)",
                                   "lastSize (send back next time)",
                                   "lastAge (send back next time)",
                                   "the file's size in bytes"};
    static const char kTextLogCodes[] =
        "\"301\" when no file matches or it cannot be read; \"501\" \"Wrong parameter\" for a "
        "bad state number; \"600\" \"test is not allowed\" when the right is off.";
    t.push_back(Plain("TEST-TextLog", ProcessTest_TextLog, false, "textlog",
                      "New lines of a growing text file that contain a text or satisfy an "
                      "expression; the server keeps the read state between requests.",
                      {{1, "path", "file name; may hold wildcards"},
                       {2, "text", "text or expression to find (multi-line form)"},
                       {3, "int", "position from the last reply (0 the first time)"},
                       {4, "int", "lastSize from the last reply"},
                       {5, "int", "lastAge from the last reply"},
                       {6, "flag", "1: parameter 2 is an expression"},
                       {7, "flag", "1: scan every new line; 0: stop at the first match"},
                       {8, "flag", "1: case-sensitive"},
                       {9, "flag", "1: whole words only"}},
                      std::vector<const char*>(std::begin(textLogValues), std::end(textLogValues)),
                      kTextLogCodes));
    std::vector<const char*> textLog2Values(std::begin(textLogValues), std::end(textLogValues));
    textLog2Values.push_back("1: the line matched the first filter, 0: the second or none");
    t.push_back(Plain("TEST-TextLog2", ProcessTest_TextLog2, false, "textlog",
                      "TEST-TextLog with one or two filters.",
                      {{1, "path", "file name; may hold wildcards"},
                       {2, "int", "position from the last reply (0 the first time)"},
                       {3, "int", "lastSize from the last reply"},
                       {4, "int", "lastAge from the last reply"},
                       {5, "flag", "1: scan every new line; 0: stop at the first match"},
                       {6, "text", "first filter: text or expression (multi-line form)"},
                       {7, "flag", "first filter: 1 for an expression"},
                       {8, "flag", "first filter: case-sensitive"},
                       {9, "flag", "first filter: whole words only"},
                       {10, "flag", "1: a second filter follows"},
                       {11, "text", "second filter: text or expression"},
                       {12, "flag", "second filter: 1 for an expression"},
                       {13, "flag", "second filter: case-sensitive"},
                       {14, "flag", "second filter: whole words only"}},
                      textLog2Values, kTextLogCodes));
    t.push_back(Plain("TEST-ShellScript", ProcessTest_ShellScript, false, "shellscript",
                      "Runs a shell script sent with the request and reports its "
                      "\"scriptres:\" line.",
                      {{1, "text",
                        "start command holding %script% and %params%, "
                        "such as: sh %script% %params%"},
                       {2, "text", "the script (multi-line form)"},
                       {3, "text", "parameters for the script (multi-line form)"},
                       {4, "int", "time limit in seconds (0: none)"},
                       {5, "int", "number of output lines to return"}},
                      {"the result line (multi-line form)", "the output lines (multi-line form)"},
                      "\"301\" when the script cannot be written or run; \"600\" \"test is "
                      "not allowed\" when the right is off."));
    t.push_back(Plain("ACT-ExternalCmd", ProcessAct_ExternalCmd, false, "executeaction",
                      "Runs a command line of this host (no shell).",
                      {{1, "text", "command line"},
                       {2, "folder", "working directory (empty: the agent's)"},
                       {3, "int", "a number that must be given but is not used"},
                       {4, "int", "time limit in milliseconds (0: none, -1: do not wait)"}},
                      {"the command's exit code"}, kActionCodes));
    t.push_back(Plain("ACT-TCPUDPsend", ProcessAct_TCPSend, false, "tcpudpaction",
                      "Sends one or two blocks of data to a TCP or UDP port.",
                      {{1, "host", "host name or address"},
                       {2, "port", "port"},
                       {3, "int", "0: TCP; anything else: UDP"},
                       {4, "text", "first block (multi-line form; not empty)"},
                       {5, "int", "delay in seconds before the second block"},
                       {6, "text", "second block (multi-line form; may be empty)"}},
                      {"the text \"Data has been sent\""}, kActionCodes));
    t.push_back(Plain("ACT-Syslog", ProcessAct_Syslog, false, "syslogaction",
                      "Sends a message to a syslog server (UDP).",
                      {{1, "host", "syslog host"},
                       {2, "port", "port (usually 514)"},
                       {3, "int", "facility"},
                       {4, "int", "severity, 0 to 7"},
                       {5, "text", "the message (multi-line form)"}},
                      {"the text \"Syslog: Data to HOST has been sent\""}, kActionCodes));
    t.push_back(Plain("GetProcessesList", ProcessInfo_ProcessesList, false, "process",
                      "The running processes (through proclistscript).", {},
                      {"the list, one process a line (multi-line form)"},
                      "\"301\" when the script is missing or fails; \"600\" \"test is not "
                      "allowed\" when the right is off."));
    t.push_back(Stub("GetServicesList", ProcessInfo_ServicesList, kNotApplicable));
    t.push_back(Stub("GetEventLogFiles", ProcessInfo_EventLogFiles, kNotApplicable));
    t.push_back(Stub("GetEventLogSources", ProcessInfo_EventLogSources, kNotApplicable));
    t.push_back(Stub("GetDriveList", ProcessInfo_GetDriveList, kNotImplemented));
    t.push_back(Plain(
        "GetFilesList", ProcessInfo_GetFileList, false,
        "foldersize countfiles fileexists filecrc comparefiles textlog", "The entries of a folder.",
        {{1, "folder", "folder (empty: /)"},
         {2, "mask", "file name mask (empty: *)"},
         {3, "flag", "1: list folders"},
         {4, "flag", "1: list files"},
         {5, "flag", "1: include hidden entries"},
         {6, "flag", "1: include special entries (neither file nor folder)"},
         {7, "flag", "1: add each entry's size"},
         {8, "flag", "1: add each entry's status-change time"},
         {9, "flag", "1: add each entry's modification time"}},
        {"the folder listed", "the number of entries", "the number of lines per entry",
         "then per entry: name, attributes (1 read-only, 2 hidden, 4 special, 16 folder), "
         "and the size and times asked for"},
        "A folder that cannot be read gives 0 entries. \"600\" \"test is not allowed\" when "
        "all six rights are 0."));
    t.push_back(Plain("GetInfo", GetAgentStatus, true, "",
                      "The agent's identity, counters, tests and actions with their rights, "
                      "port, time limit, comment and operating system.",
                      {},
                      {"name=value lines: AgentName, AgentPlatform, AgentVersion, "
                       "AgentDeveloper, Service, Active, ActiveConnections, OpenedConnections, "
                       "FailedConnections, Available tests, Enabled tests, Port, Timeout, "
                       "Comment, Available actions, Enabled actions, HostName, RunningOS, "
                       "OSUpdates"},
                      "Always \"200\"."));
    t.push_back(Manage("ReloadCfg", nullptr, ProcessAdmin_ReloadCfg,
                       "Reloads the configuration file.", {}, {"the text \"Ok\""},
                       "\"300\" and the loader's message when the file does not load (the "
                       "settings in force stay). \"600\" \"Operation is not allowed\" without "
                       "the management right."));
    t.push_back(Manage("ReloadApp", nullptr, ProcessAdmin_ReloadApp,
                       "Restarts the agent (its program file with the same arguments).", {},
                       {"the text \"Ok\""}, kManageCodes));
    t.push_back(Manage("QUIT", nullptr, ProcessAdmin_Quit, "Stops the agent.", {},
                       {"the text \"Ok\""}, kManageCodes));
    t.push_back(Manage("GetSettings", GetAgentSettings, nullptr,
                       "Everything GetInfo tells, then the logging, password, address filter "
                       "and administration settings.",
                       {},
                       {"the GetInfo lines, then name=value lines: LogOkConn, LogBadConn, "
                        "OkLogFile, BadLogFile, Password, IPFiltering, IPFilterAddr, "
                        "IPFilterMarks, AllowUpdates, AllowRManage, UpdateAddr, ManageAddr"},
                       kManageCodes));
    t.push_back(Manage("SetSettings", SetAgentSettings, nullptr,
                       "Changes settings and saves the configuration file.",
                       {{0, "setting",
                         "one name=value line per setting: Comment, Port, Timeout, Password, "
                         "LogOkConn, LogBadConn, OkLogFile, BadLogFile, IPFiltering, "
                         "IPFilterAddr, IPFilterMarks, AllowUpdates, AllowRManage, UpdateAddr, "
                         "ManageAddr, or a test or action name of GetInfo"}},
                       {},
                       "\"300\" and the reason when the file cannot be saved (the changes "
                       "stay in force). \"600\" \"Operation is not allowed\" without the "
                       "management right."));
    t.push_back(TCommandDef{
        "UpgradeCode",
        nullptr,
        ProcessAdmin_UpgradeCode,
        caUpdate,
        false,
        "allowupdates updateaddr",
        "Starts replacing the agent's program file; the file follows on the same "
        "connection (tevctl -U does all of it).",
        {{1, "int", "size of the new program file in bytes (101 to 10485759)"}},
        {},
        "\"302\" while another upgrade runs; \"501\" \"Wrong file parameter(s)\" for a bad "
        "size; \"600\" \"Operation is not allowed\" without the update right."});
    return t;
}

}  // namespace

const std::vector<TCommandDef>& CommandTable() {
    static const std::vector<TCommandDef> table = BuildTable();
    return table;
}

const TCommandDef* FindCommand(const String& name) {
    for (const TCommandDef& c : CommandTable())
        if (name == c.name) return &c;
    return nullptr;
}
