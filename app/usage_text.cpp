#include "app/usage_text.h"

#include <cstdio>

#include "serial/device/console.h"

namespace {

// Users and their scripts know these lines letter for letter, trailing blanks included.
struct UsageLine {
    const char* text;
    int lineEnds;
};

constexpr UsageLine kUsage[] = {
    {"QEL_flash (bin2Plv32.exe)                                                      ", 1},
    {" Programm zum Laden von Binaerdateien in die PLV, RMX, Tarsk880 ueber eine     ", 1},
    {" serielle Schnittstelle. Erfordert einen Bootloader auf der Box.               ", 2},
    {" Aufruf:             bin2plv32 Binaerfilename COM-Port-Nummer                  ", 1},
    {"  oder:              bin2plv32 Binaerfilename Zieladresse COM-Port-Nummer      ", 2},
    {" 'Binaerfilename'    bezeichnet Ausgangsfile des Hicross-Burners               ", 1},
    {"                     mit kompletter Pfadangabe.                                ", 1},
    {" 'Zieladresse'       bezeichnet die Adresse des ersten Bytes des Bin-Files im  ", 1},
    {"                     68332-Adressraum als HEX-Wert, z.B. 1C000. Die Zieladresse", 1},
    {"                     muss wegen 16bit-Speicherorganisation gerade sein!        ", 1},
    {"                     Wenn dieser Parameter fehlt, wird die Zieladresse aus dem ", 1},
    {"                     Bin-File entnommen                                        ", 1},
    {" 'COM-Port (1-255)'  an dem die Box angeschlossen ist.                         ", 2},
    {" Beispiel:           bin2plv32 c:\\project\\myfile.bin 2                       ", 1},
    {"                     laedt 'myfile.bin' ueber COM2.                            ", 2},
    {" Beispiel:           bin2plv32 c:\\project\\myfile.bin A1000 2                 ", 2},
    {" Bitte Eingabetaste druecken!", 0},
};

// Someone at the console may take a while to read the text; a forgotten window must still
// not keep the tool alive for ever.
constexpr qel::dev::DWORD kKeyWaitMs = 5 * 60 * 1000;

}  // namespace

std::string UsageText() {
    std::string text;
    for (const UsageLine& line : kUsage) {
        text += line.text;
        text.append(static_cast<std::size_t>(line.lineEnds), '\n');
    }
    return text;
}

void ShowUsage() {
    std::fflush(nullptr);
    std::printf("%s", UsageText().c_str());
    std::fflush(stdout);
    qel::dev::ConsoleWaitKey(kKeyWaitMs);
}
