// `tev --test CFG REQUEST [PARAMS...]`: one request answered in-process by
// the dispatcher a session uses, with the rights of the configuration file,
// without a socket or the password. For an operator who wants to see what
// the agent would answer before a server asks.
#pragma once

// Loads cfgfile into the settings (logging to files switched off, so a
// trial leaves the agent's logs alone), runs the request named argv[0]
// with the parameters argv[1..argc-1] through ProcessQVRequest as a client
// on 127.0.0.1 would, prints the reply as tevctl does (the result code and
// one line per value, hints on standard error) and returns tevctl's exit
// code: 0 for "200", 1 for another result, 2 when there is no reply (the
// configuration does not load, an argument holds a line break, or the
// request is UpgradeCode, which needs a connection for its transfer).
// Warnings about ignored configuration lines go to standard error. Main
// thread, before any other thread exists. A request that changes the agent
// acts as it would there: SetSettings rewrites the file; QUIT and ReloadApp
// answer and change nothing, as no agent runs here.
int RunLocalTest(const char* cfgfile, int argc, char** argv);
