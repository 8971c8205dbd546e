// Session opening and closing with one meter.
#include "meter/contador_ip.h"
#include "meter/frames.h"
#include "platform/tcp_client.h"

namespace qv {

namespace {

bool isFixedWith(const std::string& f, uint8_t function) {
    return f.size() == 5 && FrameFunction(f) == function;
}

// A session answer that refuses: the negative bit, or one of the causes by
// which a meter says that what was asked for is not available or unknown
// (13 to 18: data record, type, record number, address, information object,
// integration period).
bool refused(uint8_t cause) {
    const int c = cause & 0x3F;
    return (cause & kCauseNegative) != 0 || (c >= 13 && c <= 18);
}

}  // namespace

bool TContador_IP::TrySession(int index, bool fcbChanged, bool& found) {
    const DeviceItem& it = item(index);
    const int row = index + 1;
    const int32_t link = it.LinkAddress;
    const auto pause = [this](int n) { WaitMs(PauseMs(n)); };
    const auto step = [this, &pause](const char* line, bool pauseFirst, const std::string& frame) {
        PostLog(line, colour::Yellow);
        if (pauseFirst) pause(1000);
        return Transact(frame);
    };
    if (!step(" - STEP #1 (SOLICITUD DE ESTADO DE ENLACE)", false,
              FixedFrame(kCtlRequestLinkStatus, link)) ||
        !isFixedWith(LastFrame, kFnLinkStatus))
        return false;
    found = true;
    PostGridStatus(row, "CONTADOR ENCONTRADO...");
    if (!step(" - STEP #2", true, FixedFrame(kCtlResetLink, link)) ||
        !isFixedWith(LastFrame, kFnAck))
        return false;
    if (!step(" - STEP #3", true, FixedFrame(kCtlClass2Fcb1, link))) return false;
    // Clears a session an earlier caller may have left open.
    step(" - STEP #4", true,
         fcbChanged ? EndSessionFrameFcb(link, it.MeasurePoint)
                    : EndSessionFrame(link, it.MeasurePoint));
    if (!step(" - STEP #5", true, FixedFrame(kCtlClass2Fcb1, link))) return false;
    if (!step(" - STEP #6", true, FixedFrame(kCtlClass2Fcb0, link))) return false;
    if (!step(" - STEP #7", true, FixedFrame(kCtlClass2Fcb1, link)) || LastFrame.size() != 5)
        return false;

    if (!step(" - STEP #8 (INICIAR SESION Y ENVIAR CLAVE DE ACCESO)", false,
              OpenSessionFrame(link, it.MeasurePoint, it.Password))) {
        // A stop or a dropped line is no silence of the meter.
        if (Terminated || CarrierLost) return false;
        PostLog(" - SIN RESPUESTA...(SESION ABIERTA ?)", colour::Red);
        CloseSession(index);
        pause(2000);
        return false;
    }
    if (LastFrame.size() != 5) return false;
    if (FrameFunction(LastFrame) != kFnAck) {
        PostLog(" - CONF. NEGATIVA (SESION ABIERTA ?)", colour::Red);
        pause(3000);
        return false;
    }

    if (!step(" - STEP #9", true, FixedFrame(kCtlClass2Fcb1, link))) return false;
    if (LastFrame.size() < 6) {
        PostLog(" - CONF. NEGATIVA - PARAMETROS PTO.MEDIDA/PASS ERRONEOS", colour::Red);
        return false;
    }
    if (FrameFunction(LastFrame) != kFnUserData || FrameByte(LastFrame, 6) != kTypeOpenSession)
        return false;
    if (refused(FrameByte(LastFrame, 8))) {
        PostLog(" - CONF. NEGATIVA  - PARAMETROS PTO.MEDIDA/PASS ERRONEOS", colour::Red);
        return false;
    }

    if (!step(" - STEP #10", true, FixedFrame(kCtlClass2Fcb0, link)) || LastFrame.size() != 5)
        return false;
    if (!step(" - STEP #11", true, FixedFrame(kCtlClass2Fcb1, link))) return false;
    PostLog(" - SESSION OPENED", colour::Green);
    return true;
}

bool TContador_IP::OpenSession(int index) {
    const int row = index + 1;
    bool opened = false;
    noAnswerLogged_ = false;  // each meter says once that it does not answer
    retriedReplies_.clear();  // a copy of another session's reply is no copy here
    try {
        const DeviceItem& it = item(index);
        if (!IsSerial && !Terminated && TcpClient && !TcpClient->connected()) ReconnectTcp();
        if (!LinkUp() || Terminated) {
            PostGridStatus(row, "(3) ERROR DE COMUNICACION");
            WaitMs(PauseMs(2000));
            return false;
        }

        PostGridStatus(row, "BUSCANDO CONTADOR...");
        PostLog(" - TRY TO OPEN SESSION TO: " + std::to_string(it.LinkAddress) +
                    "  PM  : " + std::to_string(it.MeasurePoint) + "  PASS: ****",
                colour::White);
        bool found = false;
        // Four attempts; the frame count bit of the end-session request
        // changes for the last two.
        for (int attempt = 0; attempt < 4 && !opened && !Terminated && !CarrierLost; ++attempt)
            opened = TrySession(index, attempt >= 2, found);

        // A meter that the dropped call cut off had been reached.
        if (!found && !CarrierLost)
            PostGridStatus(row, "(4) ERROR DE ENLACE");
        else if (!opened)
            PostGridStatus(row, "(5) ERROR DE LECTURA");
    } catch (...) {
        opened = false;
    }
    WaitMs(PauseMs(2000));
    return opened;
}

void TContador_IP::CloseSession(int index) {
    const auto pause = [this](int n) { WaitMs(PauseMs(n)); };
    try {
        if (Terminated) return;
        if (!LinkUp()) {
            pause(2000);
            return;
        }
        const DeviceItem& it = item(index);
        const int32_t link = it.LinkAddress;
        PostLog(" - TRY TO CLOSE SESSION : " + std::to_string(link), colour::White);
        // Each exchange goes out only after a reply to the one before.
        [&] {
            if (!Transact(FixedFrame(kCtlClass2Fcb0, link))) return;
            pause(1000);
            if (!Transact(FixedFrame(kCtlClass2Fcb1, link))) return;
            if (!Transact(EndSessionFrame(link, it.MeasurePoint))) return;
            pause(1000);
            if (!Transact(FixedFrame(kCtlClass2Fcb1, link))) return;
            pause(1000);
            if (!Transact(FixedFrame(kCtlClass2Fcb0, link))) return;
            PostLog(" - SESSION CLOSED!", colour::Green);
        }();
        pause(2000);
    } catch (...) {
    }
}

}  // namespace qv
