// The two builds of the program differ only in the main window's caption and
// in whether the parameter dialog offers the two id-write buttons.
#pragma once

#include <QString>

namespace telvar {

struct build_variant {
    QString version;            // "V2.0" or "V1.1"
    QString main_caption;       // the main window's caption
    bool id_write_buttons;      // Command2 and Command6 of the dialog shown
};

const build_variant& variant_v20();
const build_variant& variant_v11();

/** The program's title: the caption of its message boxes. */
QString program_title();

/** The parameter dialog's caption, the same in both builds. */
QString dialog_caption();

} // namespace telvar
