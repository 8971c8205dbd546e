// Storing and loading a port's settings groups in an INI file or the key store.

#include <functional>
#include <optional>

#include "platform/ini_file.h"
#include "serial/com_port.h"

namespace qv {

namespace {

std::string boolText(bool v) {
    return v ? "Yes" : "No";
}

bool textBool(const std::string& s) {
    std::string u = s;
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u == "YES";
}

std::string charText(char c) {
    const unsigned code = static_cast<unsigned char>(c);
    if (code >= 33 && code <= 127) return std::string(1, c);
    std::string text = "#";
    text += std::to_string(code);
    return text;
}

char textChar(const std::string& s) {
    if (s.empty()) return 0;
    if (s.size() >= 2 && s[0] == '#') {
        long v = 0;
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i] < '0' || s[i] > '9') return 0;  // not a number
            v = v * 10 + (s[i] - '0');
            if (v > 255) return 0;
        }
        return static_cast<char>(v);
    }
    return s[0];
}

// Where the values go to or come from; the two stores differ only here.
struct Writer {
    std::function<void(const std::string&, const std::string&)> str;
    std::function<void(const std::string&, long)> integer;
};
struct Reader {
    // nullopt: the value is missing and the current setting stays.
    std::function<std::optional<std::string>(const std::string&, const std::string& def)> str;
    std::function<std::optional<long>(const std::string&, long def)> integer;
};

void storeGroups(TCustomComPort& p, const Writer& w) {
    const TStoreGroups g = p.StoreGroups;
    if (g.Contains(stBasic)) {
        w.str("Port", p.Port());
        w.str("BaudRate", BaudRateToStr(p.BaudRate()));
        if (p.BaudRate() == brCustom) w.integer("CustomBaudRate", p.CustomBaudRate());
        w.str("StopBits", StopBitsToStr(p.StopBits()));
        w.str("DataBits", DataBitsToStr(p.DataBits()));
        w.str("Parity", ParityToStr(p.Parity().Bits()));
        w.str("FlowControl", FlowControlToStr(p.FlowControl().FlowControl()));
    }
    if (g.Contains(stOthers)) {
        w.str("EventChar", charText(p.EventChar()));
        w.str("DiscardNull", boolText(p.DiscardNull()));
    }
    if (g.Contains(stParity)) {
        w.str("Parity.Check", boolText(p.Parity().Check()));
        w.str("Parity.Replace", boolText(p.Parity().Replace()));
        w.str("Parity.ReplaceChar", charText(p.Parity().ReplaceChar()));
    }
    if (g.Contains(stBuffer)) {
        w.integer("Buffer.OutputSize", p.Buffer().OutputSize());
        w.integer("Buffer.InputSize", p.Buffer().InputSize());
    }
    if (g.Contains(stTimeouts)) {
        const TComTimeouts& t = p.Timeouts();
        w.integer("Timeouts.ReadInterval", t.ReadInterval());
        w.integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant());
        w.integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier());
        w.integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant());
        w.integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier());
    }
    if (g.Contains(stFlowControl)) {
        const TComFlowControl& f = p.FlowControl();
        w.str("FlowControl.ControlRTS", RTSToStr(f.ControlRTS()));
        w.str("FlowControl.ControlDTR", DTRToStr(f.ControlDTR()));
        w.str("FlowControl.DSRSensitivity", boolText(f.DSRSensitivity()));
        w.str("FlowControl.OutCTSFlow", boolText(f.OutCTSFlow()));
        w.str("FlowControl.OutDSRFlow", boolText(f.OutDSRFlow()));
        w.str("FlowControl.TxContinueOnXoff", boolText(f.TxContinueOnXoff()));
        w.str("FlowControl.XonXoffIn", boolText(f.XonXoffIn()));
        w.str("FlowControl.XonXoffOut", boolText(f.XonXoffOut()));
        w.str("FlowControl.XoffChar", charText(f.XoffChar()));
        w.str("FlowControl.XonChar", charText(f.XonChar()));
    }
}

void loadGroups(TCustomComPort& p, const Reader& r) {
    const TStoreGroups g = p.StoreGroups;
    auto str = [&](const char* key, const std::string& def, auto&& apply) {
        if (auto v = r.str(key, def)) apply(*v);
    };
    auto integer = [&](const char* key, long def, auto&& apply) {
        if (auto v = r.integer(key, def)) apply(*v);
    };
    if (g.Contains(stBasic)) {
        str("Port", p.Port(), [&](const std::string& v) { p.SetPort(v); });
        str("BaudRate", BaudRateToStr(p.BaudRate()),
            [&](const std::string& v) { p.SetBaudRate(StrToBaudRate(v)); });
        if (p.BaudRate() == brCustom)
            integer("CustomBaudRate", 9600,
                    [&](long v) { p.SetCustomBaudRate(static_cast<int>(v)); });
        str("StopBits", StopBitsToStr(p.StopBits()),
            [&](const std::string& v) { p.SetStopBits(StrToStopBits(v)); });
        str("DataBits", DataBitsToStr(p.DataBits()),
            [&](const std::string& v) { p.SetDataBits(StrToDataBits(v)); });
        str("Parity", ParityToStr(p.Parity().Bits()),
            [&](const std::string& v) { p.Parity().SetBits(StrToParity(v)); });
        str("FlowControl", FlowControlToStr(p.FlowControl().FlowControl()),
            [&](const std::string& v) { p.FlowControl().SetFlowControl(StrToFlowControl(v)); });
    }
    if (g.Contains(stOthers)) {
        str("EventChar", charText(p.EventChar()),
            [&](const std::string& v) { p.SetEventChar(textChar(v)); });
        str("DiscardNull", boolText(p.DiscardNull()),
            [&](const std::string& v) { p.SetDiscardNull(textBool(v)); });
    }
    if (g.Contains(stParity)) {
        TComParity& par = p.Parity();
        str("Parity.Check", boolText(par.Check()),
            [&](const std::string& v) { par.SetCheck(textBool(v)); });
        str("Parity.Replace", boolText(par.Replace()),
            [&](const std::string& v) { par.SetReplace(textBool(v)); });
        str("Parity.ReplaceChar", charText(par.ReplaceChar()),
            [&](const std::string& v) { par.SetReplaceChar(textChar(v)); });
    }
    if (g.Contains(stBuffer)) {
        TComBuffer& b = p.Buffer();
        integer("Buffer.OutputSize", b.OutputSize(),
                [&](long v) { b.SetOutputSize(static_cast<int>(v)); });
        integer("Buffer.InputSize", b.InputSize(),
                [&](long v) { b.SetInputSize(static_cast<int>(v)); });
    }
    if (g.Contains(stTimeouts)) {
        TComTimeouts& t = p.Timeouts();
        integer("Timeouts.ReadInterval", t.ReadInterval(),
                [&](long v) { t.SetReadInterval(static_cast<int32_t>(v)); });
        integer("Timeouts.ReadTotalConstant", t.ReadTotalConstant(),
                [&](long v) { t.SetReadTotalConstant(static_cast<int32_t>(v)); });
        integer("Timeouts.ReadTotalMultiplier", t.ReadTotalMultiplier(),
                [&](long v) { t.SetReadTotalMultiplier(static_cast<int32_t>(v)); });
        integer("Timeouts.WriteTotalConstant", t.WriteTotalConstant(),
                [&](long v) { t.SetWriteTotalConstant(static_cast<int32_t>(v)); });
        integer("Timeouts.WriteTotalMultiplier", t.WriteTotalMultiplier(),
                [&](long v) { t.SetWriteTotalMultiplier(static_cast<int32_t>(v)); });
    }
    if (g.Contains(stFlowControl)) {
        TComFlowControl& f = p.FlowControl();
        str("FlowControl.ControlRTS", RTSToStr(f.ControlRTS()),
            [&](const std::string& v) { f.SetControlRTS(StrToRTS(v)); });
        str("FlowControl.ControlDTR", DTRToStr(f.ControlDTR()),
            [&](const std::string& v) { f.SetControlDTR(StrToDTR(v)); });
        str("FlowControl.DSRSensitivity", boolText(f.DSRSensitivity()),
            [&](const std::string& v) { f.SetDSRSensitivity(textBool(v)); });
        str("FlowControl.OutCTSFlow", boolText(f.OutCTSFlow()),
            [&](const std::string& v) { f.SetOutCTSFlow(textBool(v)); });
        str("FlowControl.OutDSRFlow", boolText(f.OutDSRFlow()),
            [&](const std::string& v) { f.SetOutDSRFlow(textBool(v)); });
        str("FlowControl.TxContinueOnXoff", boolText(f.TxContinueOnXoff()),
            [&](const std::string& v) { f.SetTxContinueOnXoff(textBool(v)); });
        str("FlowControl.XonXoffIn", boolText(f.XonXoffIn()),
            [&](const std::string& v) { f.SetXonXoffIn(textBool(v)); });
        str("FlowControl.XonXoffOut", boolText(f.XonXoffOut()),
            [&](const std::string& v) { f.SetXonXoffOut(textBool(v)); });
        str("FlowControl.XoffChar", charText(f.XoffChar()),
            [&](const std::string& v) { f.SetXoffChar(textChar(v)); });
        str("FlowControl.XonChar", charText(f.XonChar()),
            [&](const std::string& v) { f.SetXonChar(textChar(v)); });
    }
}

}  // namespace

void TCustomComPort::StoreIniFile(IniFile& iniFile) {
    const std::string section = name_;
    storeGroups(
        *this,
        Writer{
            [&](const std::string& k, const std::string& v) { iniFile.writeString(section, k, v); },
            [&](const std::string& k, long v) { iniFile.writeInteger(section, k, v); },
        });
}

void TCustomComPort::LoadIniFile(IniFile& iniFile) {
    const std::string section = name_;
    loadGroups(*this,
               Reader{
                   [&](const std::string& k, const std::string& def) {
                       return std::optional<std::string>(iniFile.readString(section, k, def));
                   },
                   [&](const std::string& k, long def) {
                       return std::optional<long>(iniFile.readInteger(section, k, def));
                   },
               });
}

void TCustomComPort::StoreRegistry(KeyStore& registry) {
    // The key store ignores a failed write, as a registry without rights would.
    storeGroups(*this,
                Writer{
                    [&](const std::string& k, const std::string& v) { registry.writeString(k, v); },
                    [&](const std::string& k, long v) { registry.writeInteger(k, v); },
                });
}

void TCustomComPort::LoadRegistry(KeyStore& registry) {
    // A value missing from the key keeps the current setting.
    loadGroups(*this,
               Reader{
                   [&](const std::string& k, const std::string&) -> std::optional<std::string> {
                       if (!registry.valueExists(k)) return std::nullopt;
                       return registry.readString(k);
                   },
                   [&](const std::string& k, long) -> std::optional<long> {
                       if (!registry.valueExists(k)) return std::nullopt;
                       return registry.readInteger(k, 0);
                   },
               });
}

}  // namespace qv
