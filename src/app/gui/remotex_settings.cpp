// How the main window's settings controls react to the operator.

#include <QMessageBox>
#include <QPainter>
#include <charconv>

#include "app/core/version.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"

namespace qv {

namespace {

// The port text as the link uses it: not a whole number gives "40000", and a
// number is held to 1..99999.
QString corrected_port(const QString& text) {
    const std::string s = text.trimmed().toStdString();
    long long value = 0;
    const char* end = s.data() + s.size();
    const auto [ptr, ec] = std::from_chars(s.data(), end, value);
    if (s.empty() || ec != std::errc() || ptr != end || value < INT32_MIN || value > INT32_MAX)
        return "40000";
    if (value < 1) return "1";
    if (value > 99999) return "99999";
    return text;
}

}  // namespace

void Tremotex::Tipo_SalidaClick() {
    switch (Tipo_Salida.ItemIndex()) {
        case OutputFolder:
            NOMBRE_CSV_FTP.setTitle("NOMBRE DE LA CARPETA CONTENEDORA DE LOS FICHEROS .CSV");
            sel_carpeta.show();
            BitBtn_SQL.hide();
            break;
        case OutputFtp:
            // The form of the target text the FTP upload reads.
            NOMBRE_CSV_FTP.setTitle("USUARIO:PASSWORD@DIRECCION_IP_SERVIDOR_FTP/CARPETA/");
            sel_carpeta.hide();
            BitBtn_SQL.hide();
            break;
        case OutputDatabase:
            NOMBRE_CSV_FTP.setTitle(
                "NOMBRE DE LA CARPETA CONTENEDORA DE LOS FICHEROS .CSV TEMPORALES");
            sel_carpeta.show();  // the temporary files go to a folder too
            BitBtn_SQL.show();
            break;
        default:
            return;
    }
    NOMBRE_CSV_FTP.show();
}

void Tremotex::CONEXIONClick() {
    struct Groups {
        bool serial, gsm, dialUp, modemIni;
    };
    static constexpr Groups byLink[] = {
        {true, false, false, false},   // serial line
        {true, true, true, false},     // GSM modem
        {false, false, false, false},  // TCP/IP
        {true, false, true, true},     // analog modem
    };
    const int index = CONEXION.ItemIndex();
    if (index >= 0 && index < static_cast<int>(std::size(byLink))) {
        const Groups& g = byLink[index];
        CONFSERIAL.setVisible(g.serial);
        CONF_GSM.setVisible(g.gsm);
        dial_up.setVisible(g.dialUp);
        MODEM_INI.setVisible(g.modemIni);
    }
    GRUPOIP.setVisible(CONFSERIAL.isHidden());
}

void Tremotex::PUERTOIPExit() {
    const QString corrected = corrected_port(PUERTOIP.text());
    if (corrected != PUERTOIP.text()) PUERTOIP.setText(corrected);
}

void Tremotex::Grid_contadoresDrawCell(QPainter& canvas, int ACol, int ARow, const QRect& Rect) {
    static const QColor navy(0, 0, 128);
    QFont font = Grid_contadores.font();
    QColor text = Qt::black;
    QColor back = Qt::white;
    if (ARow == 0 || ACol == 0) {
        text = ARow == 0 ? QColor(Qt::white) : QColor(0, 255, 0);
        back = navy;
        font.setBold(true);
    }
    canvas.setFont(font);
    canvas.fillRect(Rect, back);
    canvas.setPen(text);
    const QString cell = gridText(ACol, ARow);
    const QFontMetrics metrics(font);
    const int x = Rect.left() + (Rect.width() - metrics.horizontalAdvance(cell)) / 2;
    canvas.drawText(x, Rect.top() + 2 + metrics.ascent(), cell);
}

void Tremotex::BitBtn_SQLClick() {
    if (Sql_Form) Sql_Form->exec();
}

void Tremotex::BitBtn3Click() {
    const auto answer = QMessageBox::question(
        this, windowTitle(), "Esta seguro que desea quitar TODOS los contadores ?\n\r\n\r",
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes) return;
    Quitar_todo();
}

void Tremotex::DonateButtonClick() {
    OpenInBrowser(MakerHomePage);
}

}  // namespace qv
