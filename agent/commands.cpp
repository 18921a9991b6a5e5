#include "agent/commands.h"

#include "agent/adminrequests.h"
#include "handlers/actions.h"
#include "handlers/agentinfo.h"
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

const char kTextLogCodes[] =
    "\"301\" when no file matches or it cannot be read; \"501\" \"Wrong parameter\" for a "
    "bad state number; \"600\" \"test is not allowed\" when the right is off.";

#define TEXT_LOG_VALUES                                                                       \
    {"int", "match offset (0: no match)"},                                                    \
        {"text", "the matching line (multi-line form, at most 1024 characters)"},             \
        {"flag", "pending: 1 when another matching line waits after this one"},               \
        {"int", "position (send back next time)"}, {"int", "lastSize (send back next time)"}, \
        {"int", "lastAge (send back next time)"}, {                                           \
        "int", "file size in bytes", "B"                                                      \
    }
const TValueDoc kTextLogValues[] = {TEXT_LOG_VALUES};
const TValueDoc kTextLog2Values[] = {
    TEXT_LOG_VALUES,
    {"flag", "first filter: 1 when the line matched the first filter, 0 the second or none"}};
#undef TEXT_LOG_VALUES

const TParamDoc kTESTUNCParams[] = {{1, "path", "a path on the file system to measure"}};
const TValueDoc kTESTUNCValues[] = {{"int", "total bytes", "B"},
                                    {"int", "free bytes", "B", 1},
                                    {"int", "available bytes (to unprivileged users)", "B", 1}};
const TParamDoc kTESTFolderSizeParams[] = {
    {1, "path", "folder, or folder/mask such as /var/log/*.log"},
    {2, "flag", "1: include sub-folders"},
    {8, "flag", "1: expand path macros in parameter 1"}};
const TValueDoc kTESTFolderSizeValues[] = {{"int", "total size in bytes", "B"}};
const TParamDoc kTESTFileExistsParams[] = {{1, "path", "file name; may hold wildcards"},
                                           {7, "flag", "1: expand path macros in parameter 1"}};
const TValueDoc kTESTFileExistsValues[] = {
    {"int", "size in bytes", "B"},
    {"time", "status-change time (DDMMYYYYhhmmss, local time)"},
    {"time", "modification time (DDMMYYYYhhmmss)"},
    {"text", "the file name examined"},
    {"text", "unit: the text \"min\""},
    {"int", "age in minutes (whole minutes since the last change)"}};
const TParamDoc kTESTFileCompareParams[] = {
    {1, "mode",
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
    {13, "flag", "mode 1: expand path macros in file 2"}};
const TValueDoc kTESTFileCompareValues[] = {{"flag", "found: 1 equal or found, 0 not"}};
const TParamDoc kTESTFileCRCParams[] = {{1, "path", "file name"}};
const TValueDoc kTESTFileCRCValues[] = {
    {"int", "the CRC (0 to 4294967295; 4294967295 for an empty file)"}};
const TParamDoc kTESTCountFilesParams[] = {{1, "folder", "folder to search"},
                                           {2, "mask", "file name mask, such as *.log"},
                                           {3, "flag", "1: include sub-folders"},
                                           {4, "mode",
                                            "0 all files, 1 older than, 2 newer than (minutes), "
                                            "3 bigger than, 4 smaller than (bytes), 5 sub-folders"},
                                           {5, "int", "the limit of modes 1 to 4"},
                                           {11, "flag", "1: expand path macros in parameter 1"}};
const TValueDoc kTESTCountFilesValues[] = {{"int", "the count"}};
const TParamDoc kTESTProcessParams[] = {{2, "text", "process name (parameter 1 is not used)"}};
const TValueDoc kTESTProcessValues[] = {{"int", "the count"}};
const TValueDoc kTESTCPUValues[] = {{"real", "usage in percent (real number)", "%"}};
const TParamDoc kTESTExternalPrgParams[] = {
    {1, "text", "command line"},
    {4, "int", "time limit in milliseconds (0: the request's time budget, -1: do not wait)"}};
const TValueDoc kTESTExternalPrgValues[] = {{"int", "exit code (of the program)"}};
const TParamDoc kTESTTCPParams[] = {{1, "host", "host name or address"},
                                    {2, "port", "port"},
                                    {3, "int", "time limit in milliseconds (0: 120000)"},
                                    {4, "text", "data to send (multi-line form; may be empty)"},
                                    {5, "int", "greatest answer length in bytes (at most 8192)"}};
const TValueDoc kTESTTCPValues[] = {{"int", "duration in milliseconds", "ms"},
                                    {"text", "the answer (multi-line form)"}};
const TParamDoc kTESTUDPParams[] = {
    {1, "host", "host name or address"},
    {2, "port", "port"},
    {3, "int", "time limit in milliseconds (whole seconds, at least 1)"},
    {4, "int", "number of attempts (not 0)"},
    {5, "text", "data to send (multi-line form; not empty)"},
    {6, "int", "greatest answer length in bytes (at most 8192)"}};
const TValueDoc kTESTUDPValues[] = {{"int", "duration in milliseconds", "ms"},
                                    {"text", "the answer (multi-line form)"}};
const TParamDoc kTESTTextLogParams[] = {
    {1, "path", "file name; may hold wildcards"},
    {2, "text", "text or expression to find (multi-line form)"},
    {3, "int", "position from the last reply (0 the first time)"},
    {4, "int", "lastSize from the last reply"},
    {5, "int", "lastAge from the last reply"},
    {6, "flag", "1: parameter 2 is an expression"},
    {7, "flag", "1: scan every new line; 0: stop at the first match"},
    {8, "flag", "1: case-sensitive"},
    {9, "flag", "1: whole words only"}};
const TParamDoc kTESTTextLog2Params[] = {
    {1, "path", "file name; may hold wildcards"},
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
    {14, "flag", "second filter: whole words only"}};
const TParamDoc kTESTShellScriptParams[] = {
    {1, "text",
     "start command holding %script% and %params%, "
     "such as: sh %script% %params%"},
    {2, "text", "the script (multi-line form)"},
    {3, "text", "parameters for the script (multi-line form)"},
    {4, "int", "time limit in seconds (0: the request's time budget)"},
    {5, "int", "number of output lines to return"}};
const TValueDoc kTESTShellScriptValues[] = {{"text", "the result line (multi-line form)"},
                                            {"text", "the output lines (multi-line form)"}};
const TParamDoc kACTExternalCmdParams[] = {
    {1, "text", "command line"},
    {2, "folder",
     "working directory (empty: the agent's; one it cannot enter: \"301\" and the reason, "
     "nothing run)"},
    {3, "int", "a number that must be given but is not used"},
    {4, "int", "time limit in milliseconds (0: the request's time budget, -1: do not wait)"}};
const TValueDoc kACTExternalCmdValues[] = {{"int", "exit code (of the command)"}};
const TParamDoc kACTTCPUDPsendParams[] = {
    {1, "host", "host name or address"},
    {2, "port", "port"},
    {3, "int", "0: TCP; anything else: UDP"},
    {4, "text", "first block (multi-line form; not empty)"},
    {5, "int", "delay in seconds before the second block"},
    {6, "text", "second block (multi-line form; may be empty)"}};
const TValueDoc kACTTCPUDPsendValues[] = {{"text", "message: the text \"Data has been sent\""}};
const TParamDoc kACTSyslogParams[] = {{1, "host", "syslog host"},
                                      {2, "port", "port (usually 514)"},
                                      {3, "int", "facility"},
                                      {4, "int", "severity, 0 to 7"},
                                      {5, "text", "the message (multi-line form)"}};
const TValueDoc kACTSyslogValues[] = {
    {"text", "message: the text \"Syslog: Data to HOST has been sent\""}};
const TValueDoc kGetProcessesListValues[] = {
    {"text", "the list, one process a line (multi-line form)"}};
const TParamDoc kGetFilesListParams[] = {
    {1, "folder", "folder (empty: /)"},
    {2, "mask", "file name mask (empty: *)"},
    {3, "flag", "1: list folders"},
    {4, "flag", "1: list files"},
    {5, "flag", "1: include hidden entries"},
    {6, "flag", "1: include special entries (neither file nor folder)"},
    {7, "flag", "1: add each entry's size"},
    {8, "flag", "1: add each entry's status-change time"},
    {9, "flag", "1: add each entry's modification time"}};
const TValueDoc kGetFilesListValues[] = {
    {"text", "the folder listed"},
    {"int", "the number of entries"},
    {"int", "the number of lines per entry"},
    {"rest",
     "then per entry: name, attributes (1 read-only, 2 hidden, 4 special, 16 folder), "
     "and the size and times asked for"}};
const TValueDoc kGetInfoValues[] = {
    {"pairs",
     "name=value lines: AgentName, AgentPlatform, AgentVersion, "
     "AgentDeveloper, Service, Active, ActiveConnections, OpenedConnections, "
     "FailedConnections, Available tests, Enabled tests, Port, Timeout, "
     "Comment, Available actions, Enabled actions, HostName, RunningOS, "
     "OSUpdates"}};
const TValueDoc kReloadCfgValues[] = {{"text", "message: the text \"Ok\""}};
const TValueDoc kReloadAppValues[] = {{"text", "message: the text \"Ok\""}};
const TValueDoc kQUITValues[] = {{"text", "message: the text \"Ok\""}};
const TValueDoc kGetSettingsValues[] = {
    {"pairs",
     "the GetInfo lines, then name=value lines: LogOkConn, LogBadConn, "
     "OkLogFile, BadLogFile, Password, IPFiltering, IPFilterAddr, "
     "IPFilterMarks, AllowUpdates, AllowRManage, UpdateAddr, ManageAddr"}};
const TParamDoc kSetSettingsParams[] = {
    {0, "setting",
     "one name=value line per setting: Comment, Port, Timeout, Password, "
     "LogOkConn, LogBadConn, OkLogFile, BadLogFile, IPFiltering, "
     "IPFilterAddr, IPFilterMarks, AllowUpdates, AllowRManage, UpdateAddr, "
     "ManageAddr, or a test or action name of GetInfo"}};
const TParamDoc kUpgradeCodeParams[] = {
    {1, "int", "size of the new program file in bytes (101 to 10485759)"}};

#define SPAN(array) \
    { array, sizeof array / sizeof array[0] }
constexpr TSpan<TParamDoc> kNoneParams = {nullptr, 0};
constexpr TSpan<TValueDoc> kNoneValues = {nullptr, 0};

// In the order the catalogue lists them. constexpr: the compiler builds it,
// so no start-up code runs and any thread may read it at any time.
constexpr TCommandDef kCommands[] = {
    {"TEST-UNC", ProcessTest_UNC, nullptr, caHandler, false, "unc",
     "Disk space of the file system that holds a path.", SPAN(kTESTUNCParams), SPAN(kTESTUNCValues),
     "\"301\" and the system's error text when the path cannot be examined; "
     "\"501\" \"Path not specified\" for an empty path."},
    {"TEST-DiskSpace", ProcessTest_DiskSpace, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"TEST-FolderSize", ProcessTest_FolderSize, nullptr, caHandler, false, "foldersize",
     "Total size of the files in a folder (or of the files a mask matches).",
     SPAN(kTESTFolderSizeParams), SPAN(kTESTFolderSizeValues), kFileTestCodes},
    {"TEST-FileExists", ProcessTest_FileExists, nullptr, caHandler, false, "fileexists",
     "Presence, size and age of a file (or of the first file a mask matches).",
     SPAN(kTESTFileExistsParams), SPAN(kTESTFileExistsValues), kFileTestCodes},
    {"TEST-FileCompare", ProcessTest_FileCompare, nullptr, caHandler, false, "comparefiles",
     "Compares two files, or searches a file for a text or for another file.",
     SPAN(kTESTFileCompareParams), SPAN(kTESTFileCompareValues),
     "\"301\" \"File doesn`t exist\" when a file is missing; \"501\" for an "
     "unknown mode; \"600\" \"test is not allowed\" when the right is off."},
    {"TEST-FileCRC", ProcessTest_FileCRC, nullptr, caHandler, false, "filecrc",
     "CRC-32 of a file's content.", SPAN(kTESTFileCRCParams), SPAN(kTESTFileCRCValues),
     kFileTestCodes},
    {"TEST-CountFiles", ProcessTest_CountFiles, nullptr, caHandler, false, "countfiles",
     "Number of files in a folder that meet a condition.", SPAN(kTESTCountFilesParams),
     SPAN(kTESTCountFilesValues), kFileTestCodes},
    {"TEST-Process", ProcessTest_Process, nullptr, caHandler, false, "process",
     "Number of running processes of a name (through proccntscript).", SPAN(kTESTProcessParams),
     SPAN(kTESTProcessValues),
     "\"301\" when the script is missing or fails; \"501\" for an empty name; "
     "\"600\" \"test is not allowed\" when the right is off."},
    {"TEST-Service", ProcessTest_Service, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"TEST-NTLog", ProcessTest_NTLog, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"TEST-CPU", ProcessTest_CPU, nullptr, caHandler, false, "cpuusage",
     "CPU usage in percent (through cpuusagescript).", kNoneParams, SPAN(kTESTCPUValues),
     "\"301\" when the script is missing or fails; \"600\" \"test is not "
     "allowed\" when the right is off."},
    {"TEST-PerfCounter", ProcessTest_Perf, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"TEST-Script", ProcessTest_Script, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotImplemented},
    {"TEST-SNMP", ProcessTest_SNMP, nullptr, caHandler, true, "", "Not available on this platform.",
     kNoneParams, kNoneValues, kNotImplemented},
    {"TEST-ExternalPrg", ProcessTest_External, nullptr, caHandler, false, "external",
     "Runs a program of this host (no shell) and reports its exit code.",
     SPAN(kTESTExternalPrgParams), SPAN(kTESTExternalPrgValues),
     "\"301\" and the reason when it could not run; \"501\" for an empty "
     "command line or a bad limit; \"600\" \"test is not allowed\" when the "
     "right is off."},
    {"TEST-Ping", ProcessTest_Ping, nullptr, caHandler, true, "", "Not available on this platform.",
     kNoneParams, kNoneValues, kNotImplemented},
    {"TEST-TCP", ProcessTest_TCP, nullptr, caHandler, false, "tcp",
     "Connects to a TCP port, sends data and reads the answer.", SPAN(kTESTTCPParams),
     SPAN(kTESTTCPValues),
     "\"301\", the error text and the failed step's result when the exchange "
     "fails; \"501\" \"Wrong parameter\" for a bad number; \"600\" when the "
     "right is off."},
    {"TEST-UDP", ProcessTest_UDP, nullptr, caHandler, false, "udp",
     "Sends a UDP datagram and waits for the answer.", SPAN(kTESTUDPParams), SPAN(kTESTUDPValues),
     "\"301\", the error text and the result when every attempt fails; "
     "\"501\" \"Wrong parameter\" for a bad number or empty data; \"600\" "
     "when the right is off."},
    {"TEST-TextLog", ProcessTest_TextLog, nullptr, caHandler, false, "textlog",
     "New lines of a growing text file that contain a text or satisfy an "
     "expression; the server keeps the read state between requests.",
     SPAN(kTESTTextLogParams), SPAN(kTextLogValues), kTextLogCodes},
    {"TEST-TextLog2", ProcessTest_TextLog2, nullptr, caHandler, false, "textlog",
     "TEST-TextLog with one or two filters.", SPAN(kTESTTextLog2Params), SPAN(kTextLog2Values),
     kTextLogCodes},
    {"TEST-ShellScript", ProcessTest_ShellScript, nullptr, caHandler, false, "shellscript",
     "Runs a shell script sent with the request and reports its "
     "\"scriptres:\" line.",
     SPAN(kTESTShellScriptParams), SPAN(kTESTShellScriptValues),
     "\"301\" when the script cannot be written or run; \"600\" \"test is "
     "not allowed\" when the right is off."},
    {"ACT-ExternalCmd", ProcessAct_ExternalCmd, nullptr, caHandler, false, "executeaction",
     "Runs a command line of this host (no shell).", SPAN(kACTExternalCmdParams),
     SPAN(kACTExternalCmdValues), kActionCodes},
    {"ACT-TCPUDPsend", ProcessAct_TCPSend, nullptr, caHandler, false, "tcpudpaction",
     "Sends one or two blocks of data to a TCP or UDP port.", SPAN(kACTTCPUDPsendParams),
     SPAN(kACTTCPUDPsendValues), kActionCodes},
    {"ACT-Syslog", ProcessAct_Syslog, nullptr, caHandler, false, "syslogaction",
     "Sends a message to a syslog server (UDP).", SPAN(kACTSyslogParams), SPAN(kACTSyslogValues),
     kActionCodes},
    {"GetProcessesList", ProcessInfo_ProcessesList, nullptr, caHandler, false, "process",
     "The running processes (through proclistscript).", kNoneParams, SPAN(kGetProcessesListValues),
     "\"301\" when the script is missing or fails; \"600\" \"test is not "
     "allowed\" when the right is off."},
    {"GetServicesList", ProcessInfo_ServicesList, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"GetEventLogFiles", ProcessInfo_EventLogFiles, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"GetEventLogSources", ProcessInfo_EventLogSources, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotApplicable},
    {"GetDriveList", ProcessInfo_GetDriveList, nullptr, caHandler, true, "",
     "Not available on this platform.", kNoneParams, kNoneValues, kNotImplemented},
    {"GetFilesList", ProcessInfo_GetFileList, nullptr, caHandler, false,
     "foldersize countfiles fileexists filecrc comparefiles textlog", "The entries of a folder.",
     SPAN(kGetFilesListParams), SPAN(kGetFilesListValues),
     "A folder that cannot be read gives 0 entries. \"600\" \"test is not allowed\" when "
     "all six rights are 0."},
    {"GetInfo", GetAgentStatus, nullptr, caHandler, true, "",
     "The agent's identity, counters, tests and actions with their rights, "
     "port, time limit, comment and operating system.",
     kNoneParams, SPAN(kGetInfoValues), "Always \"200\"."},
    {"ReloadCfg", nullptr, ProcessAdmin_ReloadCfg, caManage, false, "allowmanage manageaddr",
     "Reloads the configuration file.", kNoneParams, SPAN(kReloadCfgValues),
     "\"300\" and the loader's message when the file does not load (the "
     "settings in force stay). \"600\" \"Operation is not allowed\" without "
     "the management right."},
    {"ReloadApp", nullptr, ProcessAdmin_ReloadApp, caManage, false, "allowmanage manageaddr",
     "Restarts the agent (its program file with the same arguments).", kNoneParams,
     SPAN(kReloadAppValues), kManageCodes},
    {"QUIT", nullptr, ProcessAdmin_Quit, caManage, false, "allowmanage manageaddr",
     "Stops the agent.", kNoneParams, SPAN(kQUITValues), kManageCodes},
    {"GetSettings", GetAgentSettings, nullptr, caManage, false, "allowmanage manageaddr",
     "Everything GetInfo tells, then the logging, password, address filter "
     "and administration settings.",
     kNoneParams, SPAN(kGetSettingsValues), kManageCodes},
    {"SetSettings", SetAgentSettings, nullptr, caManage, false, "allowmanage manageaddr",
     "Changes settings and saves the configuration file.", SPAN(kSetSettingsParams), kNoneValues,
     "Values pass the configuration file's rules (a Timeout of 0 is 4000, a "
     "negative one no idle limit; Port 1 to 65535; Password not empty); one "
     "refused line refuses the whole request: \"300\" and one line \"Line "
     "<n>: <name>=<value>: <reason>\" per refused line, nothing changed or "
     "saved; \"300\" and the reason when the file cannot be saved (the changes "
     "stay in force); \"501\" \"Wrong parameter\" for a number that does not "
     "fit 32 bits; names it does not know change nothing and are logged as a "
     "warning. \"600\" \"Operation is not allowed\" without the management "
     "right."},
    {"UpgradeCode", nullptr, ProcessAdmin_UpgradeCode, caUpdate, false, "allowupdates updateaddr",
     "Starts replacing the agent's program file; the file follows on the same "
     "connection (tevctl -U does all of it).",
     SPAN(kUpgradeCodeParams), kNoneValues,
     "\"302\" while another upgrade runs; \"501\" \"Wrong file parameter(s)\" for a bad "
     "size; \"600\" \"Operation is not allowed\" without the update right."},
};

#undef SPAN

}  // namespace

TSpan<TCommandDef> CommandTable() {
    return TSpan<TCommandDef>{kCommands, sizeof kCommands / sizeof kCommands[0]};
}

const TCommandDef* FindCommand(const String& name) {
    for (const TCommandDef& c : CommandTable())
        if (name == c.name) return &c;
    return nullptr;
}

bool ServedOnReserve(const String& command) {
    const TCommandDef* c = FindCommand(command);
    return c != nullptr && (c->IsManagement() || c->handler == GetAgentStatus);
}
