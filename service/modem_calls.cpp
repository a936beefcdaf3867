#include "service/modem_calls.h"

#include <string>

#include "serial/v24.h"
#include "service/event_observer.h"
#include "service/transfers.h"
#include "transfer/modem.h"

namespace qelflash {

namespace {

std::string Word(int result) {
    if (result >= 0 && result < kModemResults) return ModemResult[result];
    switch (result) {
        case MODEM_NO_ANSWER:
            return "no answer";
        case MODEM_UNKNOWN_ANSWER:
            return "unknown answer";
        default:
            return "port failed";
    }
}

}  // namespace

int DialExitCode(int result) {
    if (result == MODEM_CONNECT) return 0;
    if (result >= 0 && result < kModemResults) return DIAL_EXIT_WORD_BASE + result;
    if (result == MODEM_NO_ANSWER) return DIAL_EXIT_NO_ANSWER;
    if (result == MODEM_UNKNOWN_ANSWER) return DIAL_EXIT_UNKNOWN_ANSWER;
    return DIAL_EXIT_PORT_FAILED;
}

int RunModem(const Options& o, const PortArg& port, Reporter& reporter) {
    EventObserver observer(reporter, port.label);
    const bool dial = o.command == "dial";
    Event started = observer.Make("started").Add("operation", o.command);
    if (dial) started.Add("number", o.number).Add("method", o.pulse ? "pulse" : "tone");
    observer.Emit(started);

    const int handle = OpenPortReporting(port, observer);
    if (handle < 0) return TransferExitCode(handle);
    // The modem talks at the rate the computer last used with it.
    V24SetLine(handle, o.baud, 8, 'N', 1);
    int result = 0, code = 0;
    std::string message;
    if (dial) {
        result = ModemDial(handle, o.pulse ? 0 : 1, o.number.c_str());
        code = DialExitCode(result);
        message = Word(result);
        observer.Emit(observer.Make("answer").Add("result", result).Add("word", message));
    } else {
        result = ModemHangUp(handle);
        code = TransferExitCode(result);
        message = result == 0 ? "hung up" : "port failed";
    }
    // Closing drops DTR where the device hangs up on close (HUPCL, Linux's default): a modem
    // set to follow DTR ends the call here.
    V24Close(handle);
    observer.Emit(
        observer.Make("finished").Add("code", code).Add("result", result).Add("message", message));
    return code;
}

}  // namespace qelflash
