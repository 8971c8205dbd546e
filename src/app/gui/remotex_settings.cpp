// How the main window's settings controls react to the operator.

#include <QMessageBox>
#include <QPainter>

#include "app/core/settings_check.h"
#include "app/core/shown_value.h"
#include "app/core/version.h"
#include "app/gui/remotex.h"
#include "export/sql_form.h"
#include "platform/text.h"

namespace qv {

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
    const std::string typed = PUERTOIP.text().toLatin1().toStdString();
    if (typed.find_first_not_of(' ') == std::string::npos)
        return PUERTOIP.setText(kDefaultHostPort);
    // Setting the text clears the field's undo history: an accepted port is
    // then what a later refused one goes back to.
    // A port is shown as the number it is taken for (" 40001 " is 40001).
    if (IsTcpPort(typed))
        return PUERTOIP.setText(QString::fromStdString(TcpPortText(typed, kDefaultHostPort)));
    while (PUERTOIP.isUndoAvailable()) PUERTOIP.undo();
    if (!IsTcpPort(PUERTOIP.text().toLatin1().toStdString())) PUERTOIP.setText(kDefaultHostPort);
    Show_data_Text("- PUERTO IP: \"" + ShownValue("HOST_PORT", typed) +
                       "\" NO ES UN PUERTO DE 1 A 65535 - SE MANTIENE " +
                       PUERTOIP.text().toLatin1().toStdString(),
                   colour::Red);
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
    // A text wider than its cell (a long status) stays in it and shows its
    // start; one that fits is centred.
    canvas.setClipRect(Rect, Qt::IntersectClip);
    const QString cell = gridText(ACol, ARow);
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(cell);
    const int x =
        width + 4 <= Rect.width() ? Rect.left() + (Rect.width() - width) / 2 : Rect.left() + 2;
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
