// The configuration file's lines and ports through the main window's buttons,
// under Qt's offscreen platform: "LEER CONFIGURACION" reads a file whose lines
// end in a lone CR as -INI does, refuses a key on a header's line by its line
// number, and shows every port as the number it is taken for, which "GUARDA
// CONFIGURACION" then saves.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/startup.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"
#include "platform/ini_file.h"
#include "support/test_env.h"
#include "window_support.h"

namespace qv {
namespace {

class ConfigLines : public ConfigWindow {
  protected:
    // "LEER CONFIGURACION" of a file holding `text`; what it logged.
    std::string load(const std::string& name, const std::string& text) {
        const std::string file = dir + "/" + name;
        std::ofstream(file, std::ios::binary) << text;
        w->BitBt_ClearClick();
        DialogAnswers answer({file.c_str()});
        w->BitBtn_Load.click();
        EXPECT_EQ(w->IniFileName, file);  // the dialog was answered with the file
        return w->Rx9.toPlainText().toStdString();
    }
};

// Lines ended by a lone CR, or by a mix of endings, are each read: the file's
// TCP settings, not every control reset by one header line.
TEST_F(ConfigLines, LoadButtonReadsLinesEndedByALoneCR) {
    const std::string texts[] = {
        "[MAIN]\rCONEXION=2\rHOST=10.1.2.3\rHOST_PORT=40005\rRUTA=/srv/cr\rPUERTO=3310\r",
        "[MAIN]\r\nCONEXION=2\nHOST=10.1.2.3\rHOST_PORT=40005\r\nRUTA=/srv/cr\rPUERTO=3310",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        w->HOST.setText("before");
        EXPECT_EQ(load("cr.ini", text), "");  // no red line
        EXPECT_EQ(w->CONEXION.ItemIndex(), 2);
        EXPECT_EQ(w->HOST.text() + " " + w->PUERTOIP.text() + " " + w->RUTA.text() + " " +
                      sqlForm->PUERTO->text(),
                  "10.1.2.3 40005 /srv/cr 3310");
    }
}

// A key on a header's line, of [MAIN] or of another section, or above every
// header, is refused by its line number, in -INI's words, and no control changes.
TEST_F(ConfigLines, LoadButtonRefusesAKeyOnAHeadersLineOrAboveEveryHeader) {
    w->HOST.setText("before");
    w->RUTA.setText("/before");
    const WindowSettings before = w->Settings();
    const std::pair<std::string, std::string> rows[] = {
        {"[MAIN]RUTA=/srv/lecturas\nHOST=after\n", "LINEA 1 DE [MAIN] NO ES CLAVE=VALOR"},
        {"[MAIN]\rHOST=after\r[OTRA]x=1\r", "LINEA 3 DE [OTRA] NO ES CLAVE=VALOR"},
        {"RUTA=/srv/lecturas\r\n[MAIN]\r\nHOST=after\r\n",
         "LINEA 1 ANTES DE TODA SECCION NO ES COMENTARIO"},
    };
    for (const auto& [text, why] : rows) {
        SCOPED_TRACE(text);
        EXPECT_NE(load("header.ini", text), "");
        EXPECT_EQ(LastRedLine(), "ERROR EN INIFILE " + dir + "/header.ini: " + why);
        WindowSettings kept = before;
        kept.IniFileName = dir + "/header.ini";
        EXPECT_EQ(w->Settings(), kept);
    }
}

// A port is shown as the number it is taken for, after a load, after the
// field or box is left, and "GUARDA CONFIGURACION" saves that number.
TEST_F(ConfigLines, PortsAreShownAndSavedAsTheirNumbers) {
    EXPECT_EQ(load("ports.ini",
                   "[MAIN]\nCONEXION=2\nHOST=127.0.0.1\nHOST_PORT=\" 40001 \"\n"
                   "PUERTO=\" \"\nHABILITA_TUNEL=1\nSSH_HOST=s\nSSH_LOGIN=op\n"
                   "SSH_PORT=\"00022\"\nDEST_HOST=d\nDEST_PORT=\" 3307 \"\n"
                   "LIST_PORT=\"  \"\n"),
              "");
    EXPECT_EQ(w->PUERTOIP.text(), "40001");
    EXPECT_EQ((std::vector<QString>{sqlForm->PUERTO->text(), sqlForm->SSH_PORT->text(),
                                    sqlForm->DEST_PORT->text(), sqlForm->LIST_PORT->text()}),
              (std::vector<QString>{"3306", "22", "3307", "3306"}));
    const std::string saved = dir + "/saved.ini";
    {
        DialogAnswers answer({saved.c_str()});
        w->BitBtn_Save.click();
        EXPECT_EQ(answer.boxes.size(), 1u) << LastRedLine();
    }
    const auto written = [](const std::string& path) {
        const IniFile f(path);
        std::string keys;
        for (const char* key : {"HOST_PORT", "PUERTO", "SSH_PORT", "DEST_PORT", "LIST_PORT"})
            keys += std::string(key) + "=" + f.readString("MAIN", key, "?") + " ";
        return keys;
    };
    EXPECT_EQ(written(saved),
              "HOST_PORT=40001 PUERTO=3306 SSH_PORT=22 DEST_PORT=3307 LIST_PORT=3306 ");

    // Typed with blanks (the port field) or leading zeros (the boxes take digits alone).
    w->PUERTOIP.setText(" 40002 ");
    w->PUERTOIPExit();
    EXPECT_EQ(w->PUERTOIP.text(), "40002");
    sqlForm->open();
    sqlForm->PUERTO->setText("03307");
    sqlForm->BT_CANCEL->click();
    EXPECT_FALSE(sqlForm->isVisible());
    EXPECT_EQ(sqlForm->PUERTO->text(), "3307");
    const std::string again = dir + "/again.ini";
    {
        DialogAnswers answer({again.c_str()});
        w->BitBtn_Save.click();
        EXPECT_EQ(answer.boxes.size(), 1u) << LastRedLine();
    }
    EXPECT_EQ(written(again),
              "HOST_PORT=40002 PUERTO=3307 SSH_PORT=22 DEST_PORT=3307 LIST_PORT=3306 ");
}

}  // namespace
}  // namespace qv
