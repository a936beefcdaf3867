#include "service/qelflash.h"

#include <cstdio>

#include "service/command_line.h"
#include "service/many_boxes.h"
#include "service/modem_calls.h"
#include "service/operations.h"
#include "service/port_list.h"
#include "service/simulator.h"
#include "service/transfers.h"

namespace qelflash {

int Main(int argc, const char* const* argv) {
    Options o;
    std::string error;
    if (!ParseCommandLine(argc, argv, o, error)) {
        std::fprintf(stderr, "%s\nqelflash: %s\n", UsageLine(o.command).c_str(), error.c_str());
        return 1;
    }
    if (o.help) {
        std::printf("%s", HelpText(o.command).c_str());
        return 0;
    }

    std::vector<std::string> labels;
    for (const PortArg& p : o.ports) labels.push_back(p.label);
    auto reporter = MakeReporter(ChooseFormat(o.json, stdout), stdout, labels);
    int code = 0;
    if (o.command == "strings") {
        code = RunStrings(o, *reporter);
    } else if (o.command == "ports") {
        code = RunPorts(*reporter);
    } else if (o.command == "sim") {
        code = RunSimulator(o, *reporter);
    } else if (IsTransfer(o.command)) {
        code = RunTransfer(o, o.ports.front(), *reporter);
    } else if (IsModem(o.command)) {
        code = RunModem(o, o.ports.front(), *reporter);
    } else if (o.ports.size() > 1) {
        code = RunManyBoxes(o, *reporter);
    } else {
        code = RunOnPort(o, o.ports.front(), *reporter);
    }
    reporter->Close();
    return code;
}

}  // namespace qelflash
