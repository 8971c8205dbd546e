#include "widgets/inst_opc.h"

#include <dlfcn.h>

#include <QCoreApplication>
#include <QMetaProperty>
#include <QThread>
#include <cmath>

#include "widgets/inst_component.h"

namespace qv {

namespace {

constexpr const char* kEntryNames[] = {"SignalAdd",
                                       "SignalRemove",
                                       "SignalSuspend",
                                       "SignalResume",
                                       "SignalGetActive",
                                       "SignalGetUpdateSuspended",
                                       "SignalGetGroupHandle",
                                       "SignalSendData",
                                       "SignalGetDataNow",
                                       "SignalGetData",
                                       "SignalGetTimeStamp",
                                       "SignalGetQuality",
                                       "EditorSessionStart",
                                       "EditorSessionStop",
                                       "EditorComputerBranchOpen",
                                       "EditorComputerBranchClose",
                                       "EditorComputerBranchGetItemCount",
                                       "EditorComputerBranchGetItemData",
                                       "EditorServerSetup",
                                       "EditorServerGetCount",
                                       "EditorServerGetData",
                                       "EditorItemSetup",
                                       "EditorItemGetBrowseType",
                                       "EditorItemSetPath",
                                       "EditorItemGetBranchItems",
                                       "EditorItemGetQualifiedName",
                                       "GroupAdd",
                                       "GroupDelete",
                                       "GroupResume",
                                       "GroupSuspend",
                                       "GroupGetCount",
                                       "GroupGetHandleByName",
                                       "GroupGetName",
                                       "GroupGetComputerName",
                                       "GroupGetOPCServerName",
                                       "GroupGetUpdateRate",
                                       "GroupSetUpdateRate",
                                       "GroupGetHandle",
                                       "CloseAllServerConnections",
                                       "ServerConnectionGetCount",
                                       "ServerConnectionGetName",
                                       "ServerConnectionGetGroupCount",
                                       "ServerConnectionGetGroupName",
                                       "ServerConnectionReconnect",
                                       "ServerConnectionDisconnect",
                                       "ManagerCreated",
                                       "ManagerAddItem",
                                       "ManagerDestroyed",
                                       "GetLastCallErrorString"};

constexpr std::uint16_t kQualityGood = 192;

QVariant from_opc(const QvOpcValue& v) {
    switch (v.type) {
        case QV_OPC_I1:
            return QVariant::fromValue(static_cast<qint8>(v.integer));
        case QV_OPC_UI1:
            return QVariant::fromValue(static_cast<quint8>(v.integer));
        case QV_OPC_I2:
            return QVariant::fromValue(static_cast<qint16>(v.integer));
        case QV_OPC_UI2:
            return QVariant::fromValue(static_cast<quint16>(v.integer));
        case QV_OPC_I4:
            return QVariant::fromValue(static_cast<qint32>(v.integer));
        case QV_OPC_UI4:
            return QVariant::fromValue(static_cast<quint32>(v.integer));
        case QV_OPC_I8:
            return QVariant::fromValue(static_cast<qint64>(v.integer));
        case QV_OPC_R4:
            return QVariant::fromValue(static_cast<float>(v.real));
        case QV_OPC_R8:
            return QVariant::fromValue(v.real);
        case QV_OPC_BOOL:
            return QVariant::fromValue(v.integer != 0);
        case QV_OPC_STRING:
            return v.text ? QString::fromUtf16(v.text) : QString();
        default:
            return {};
    }
}

bool integer_kind(const QVariant& v) {
    switch (v.metaType().id()) {
        case QMetaType::SChar:
        case QMetaType::UChar:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
            return true;
        default:
            return false;
    }
}

bool real_kind(const QVariant& v) {
    return v.metaType().id() == QMetaType::Float || v.metaType().id() == QMetaType::Double;
}

// Scaling keeps the value's kind: reals stay reals, integers are rounded (halves to even).
QVariant scaled(const QVariant& v, double factor, double add) {
    if (real_kind(v)) {
        double r = v.toDouble() * factor + add;
        return v.metaType().id() == QMetaType::Float ? QVariant::fromValue(float(r)) : QVariant(r);
    }
    if (integer_kind(v)) {
        double r = std::nearbyint(v.toDouble() * factor + add);
        // Out of range for the kind: kept as a real rather than wrapped.
        if (!(std::fabs(r) < 9.2e18)) return QVariant(r);
        QVariant out = QVariant::fromValue(static_cast<qint64>(r));
        if (out.convert(v.metaType()) && out.toDouble() == r) return out;
        return QVariant(r);
    }
    return v;
}

}  // namespace

// ---- library ----

OPCLibrary& OPCLibrary::Instance() {
    static OPCLibrary library(kFileName);
    return library;
}

OPCLibrary::OPCLibrary(const std::string& fileName) {
    handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) return;  // absent: the program runs without OPC, silently
    for (const char* name : kEntryNames) entries_.emplace_back(name, dlsym(handle_, name));
}

OPCLibrary::~OPCLibrary() {
    if (handle_) dlclose(handle_);
}

void* OPCLibrary::Entry(const char* name) const {
    for (const auto& [n, fn] : entries_)
        if (qstrcmp(n, name) == 0) return fn;
    return nullptr;
}

template <class Fn>
Fn OPCLibrary::Bound(const char* name) const {
    if (!Loaded()) throw OPCError("OPC DLL Not Found.");
    void* fn = Entry(name);
    if (!fn) throw OPCError(std::string("Function \"") + name + "\" not found in \"instopc.dll\".");
    return reinterpret_cast<Fn>(fn);
}

void OPCLibrary::CheckLastError() const {
    auto fn = reinterpret_cast<QvGetLastCallErrorString>(Entry("GetLastCallErrorString"));
    if (!fn) return;
    const char* text = fn();
    if (text && *text) throw OPCError(text);
}

std::uint64_t OPCLibrary::SignalAdd(const QString& computer, const QString& server,
                                    const QString& item, const QString& group, int updateRate,
                                    bool requestString, const QvOpcCallback* callback) {
    auto fn = Bound<QvSignalAdd>("SignalAdd");
    auto wide = [](const QString& s) { return reinterpret_cast<const char16_t*>(s.utf16()); };
    std::uint64_t handle = fn(wide(computer), wide(server), wide(item), wide(group), updateRate, 0,
                              requestString ? QV_OPC_STRING : QV_OPC_EMPTY, callback);
    CheckLastError();
    return handle;
}

void OPCLibrary::SignalRemove(std::uint64_t handle) {
    Bound<QvSignalRemove>("SignalRemove")(handle);
    CheckLastError();
}

bool OPCLibrary::SignalGetActive(std::uint64_t handle) {
    bool result = Bound<QvSignalGetFlag>("SignalGetActive")(handle) != 0;
    CheckLastError();
    return result;
}

bool OPCLibrary::SignalGetUpdateSuspended(std::uint64_t handle) {
    bool result = Bound<QvSignalGetFlag>("SignalGetUpdateSuspended")(handle) != 0;
    CheckLastError();
    return result;
}

void OPCLibrary::SignalSendData(std::uint64_t handle, const QVariant& value) {
    auto fn = Bound<QvSignalSendData>("SignalSendData");
    QvOpcValue v{};
    QString text;
    if (value.metaType().id() == QMetaType::Bool) {
        v.type = QV_OPC_BOOL;
        v.integer = value.toBool();
    } else if (integer_kind(value)) {
        v.type = QV_OPC_I8;
        v.integer = value.toLongLong();
    } else if (real_kind(value)) {
        v.type = QV_OPC_R8;
        v.real = value.toDouble();
    } else {
        text = value.toString();
        v.type = QV_OPC_STRING;
        v.text = reinterpret_cast<const char16_t*>(text.utf16());
    }
    fn(handle, &v);
    CheckLastError();
}

QVariant OPCLibrary::SignalGetData(std::uint64_t handle) {
    QvOpcValue v{};
    Bound<QvSignalGetData>("SignalGetData")(handle, &v);
    QVariant result = from_opc(v);  // copied before the next call may drop the text
    CheckLastError();
    return result;
}

QDateTime OPCLibrary::SignalGetTimeStamp(std::uint64_t handle) {
    double days = Bound<QvSignalGetTimeStamp>("SignalGetTimeStamp")(handle);
    CheckLastError();
    const QDateTime epoch(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
    if (!std::isfinite(days) || std::fabs(days) > 3.0e6) return {};
    return epoch.addMSecs(static_cast<qint64>(std::llround(days * 86400000.0)));
}

std::uint16_t OPCLibrary::SignalGetQuality(std::uint64_t handle) {
    std::uint16_t q = Bound<QvSignalGetQuality>("SignalGetQuality")(handle);
    CheckLastError();
    return q;
}

// ---- item ----

TInstOPCItem::TInstOPCItem(TInstOPCItemManager* manager)
    : manager_(manager), alive_(std::make_shared<TInstOPCItem*>(this)) {
    callback_.context = this;
    // The library may call from its own thread: the notice crosses to the main
    // thread and finds the item only if it still exists there.
    callback_.data_arrived = [](void* context) {
        auto* item = static_cast<TInstOPCItem*>(context);
        std::weak_ptr<TInstOPCItem*> alive = item->alive_;
        auto deliver = [alive] {
            if (auto held = alive.lock()) (*held)->DataArrived();
        };
        QCoreApplication* app = QCoreApplication::instance();
        if (app && QThread::currentThread() != app->thread())
            QMetaObject::invokeMethod(app, deliver, Qt::QueuedConnection);
        else
            deliver();
    };
}

TInstOPCItem::~TInstOPCItem() {
    try {
        Disconnect();
    } catch (const OPCError&) {
        // Going away regardless: the library's complaint has no one to reach.
    }
}

bool TInstOPCItem::Usable() const {
    return OPCLibrary::Instance().Loaded() && manager_;
}

bool TInstOPCItem::Active() const {
    return Usable() && !manager_->LoadingOrDesigning() && handle_ != 0 &&
           OPCLibrary::Instance().SignalGetActive(handle_);
}

bool TInstOPCItem::UpdateSuspended() const {
    if (!OPCLibrary::Instance().Loaded() || handle_ == 0) return false;
    return OPCLibrary::Instance().SignalGetUpdateSuspended(handle_);
}

void TInstOPCItem::Connect() {
    if (!Usable() || manager_->LoadingOrDesigning()) return;
    if (autoError_) RefreshErrorFlag();
    if (handle_ != 0) Disconnect();
    if (!propertyName_.trimmed().isEmpty() && (!groupName_.isEmpty() || !serverName_.isEmpty()) &&
        !itemName_.isEmpty()) {
        handle_ = OPCLibrary::Instance().SignalAdd(computerName_, serverName_, itemName_,
                                                   groupName_, updateRate_,
                                                   propertyType_ == QMetaType::QString, &callback_);
    }
}

void TInstOPCItem::Disconnect() {
    if (!OPCLibrary::Instance().Loaded() || handle_ == 0) return;
    std::uint64_t handle = handle_;
    handle_ = 0;
    OPCLibrary::Instance().SignalRemove(handle);
}

void TInstOPCItem::SetAndReconnect(QString& field, const QString& value) {
    field = value;
    if (Active()) Connect();
}

void TInstOPCItem::SetUpdateRate(int value) {
    updateRate_ = value;
    if (Active()) Connect();
}

void TInstOPCItem::SetPropertyName(const QString& value) {
    propertyName_ = value;
    propertyType_ = manager_ ? manager_->PropertyType(value) : 0;
}

void TInstOPCItem::SetAutoConnect(bool value) {
    autoConnect_ = value;
    if (value && !(manager_ && manager_->LoadingOrDesigning())) Connect();
}

void TInstOPCItem::SetAutoError(bool value) {
    autoError_ = value;
    if (value) RefreshErrorFlag();
}

void TInstOPCItem::RefreshErrorFlag() {
    if (manager_ && manager_->Widget())
        manager_->Widget()->SetErrorActive((quality_ & kQualityGood) != kQualityGood);
}

void TInstOPCItem::Loaded() {
    if (autoError_) RefreshErrorFlag();
    if (autoConnect_) Connect();
}

void TInstOPCItem::DataArrived() {
    if (handle_ == 0) return;  // removed while the notice was on its way
    OPCLibrary& library = OPCLibrary::Instance();
    value_ = library.SignalGetData(handle_);
    timeStamp_ = library.SignalGetTimeStamp(handle_);
    quality_ = library.SignalGetQuality(handle_);
    bool good = (quality_ & kQualityGood) == kQualityGood;
    if (good) {
        if (scalar_ != 0) value_ = scaled(value_, scalar_, 0);
        if (offset_ != 0) value_ = scaled(value_, 1, offset_);
    }
    if (autoError_) RefreshErrorFlag();
    if (manager_) manager_->NewData(*this);
}

// ---- manager ----

TInstOPCItemManager::TInstOPCItemManager(TInstWinComponent* widget) : widget_(widget) {}

TInstOPCItemManager::~TInstOPCItemManager() = default;

TInstOPCItem& TInstOPCItemManager::Add() {
    items_.push_back(std::make_unique<TInstOPCItem>(this));
    return *items_.back();
}

int TInstOPCItemManager::IndexOf(const TInstOPCItem* item) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (items_[i].get() == item) return static_cast<int>(i);
    return -1;
}

bool TInstOPCItemManager::LoadingOrDesigning() const {
    return widget_ && widget_->IsLoadingOrDesigning();
}

void TInstOPCItemManager::NewData(TInstOPCItem& item) {
    int index = IndexOf(&item);
    if (widget_ && index >= 0)
        widget_->NewOPCData(index, item.Value(), (item.Quality() & kQualityGood) == kQualityGood);
}

int TInstOPCItemManager::PropertyType(const QString& name) const {
    if (!widget_) return 0;
    const QObject* object = widget_;
    const QStringList path = name.trimmed().split('.');
    for (int i = 0; i < path.size(); ++i) {
        int at = object->metaObject()->indexOfProperty(path[i].toLatin1().constData());
        if (at < 0) return 0;
        QMetaProperty property = object->metaObject()->property(at);
        if (i + 1 == path.size()) return property.metaType().id();
        object = property.read(object).value<QObject*>();
        if (!object) return 0;
    }
    return 0;
}

// ---- widget side ----

bool TInstWinComponent::SetPropertyFromOPC(const QString& name, const QVariant& value) {
    QObject* object = this;
    const QStringList path = name.trimmed().split('.');
    for (int i = 0; i + 1 < path.size() && object; ++i)
        object = object->property(path[i].toLatin1().constData()).value<QObject*>();
    if (!object) return false;
    int at = object->metaObject()->indexOfProperty(path.last().toLatin1().constData());
    if (at < 0) return false;
    QMetaProperty property = object->metaObject()->property(at);
    QVariant v = value;
    if (property.isEnumType() || property.metaType().id() == QMetaType::Bool) {
        // Switches arrive as "True"/"1" or "False"/"0".
        QString text = value.toString().trimmed();
        if (text.compare("True", Qt::CaseInsensitive) == 0)
            v = 1;
        else if (text.compare("False", Qt::CaseInsensitive) == 0)
            v = 0;
        if (property.metaType().id() == QMetaType::Bool) v = v.toInt() != 0;
    }
    return property.write(object, v);
}

void TInstWinComponent::NewOPCData(int index, QVariant value, bool good) {
    if (OnBeforeNewOPCData) OnBeforeNewOPCData(this, index, value);
    TInstOPCItem& item = opcItems_->Item(index);
    inOPCUpdate_ = true;
    if (good && !OPCNewDataHook(item.PropertyName(), value))
        SetPropertyFromOPC(item.PropertyName(), value);
    inOPCUpdate_ = false;
    if (OnNewOPCData) OnNewOPCData(this, index);
}

bool TInstWinComponent::OPCPropertyQuery(const QString& propertyName, const QVariant& value) {
    if (inOPCUpdate_) {
        // The property is being written from the server: no echo back to it.
        inOPCUpdate_ = false;
        return false;
    }
    bool matched = false;
    for (int i = 0; i < opcItems_->Count(); ++i) {
        TInstOPCItem& item = opcItems_->Item(i);
        if (item.PropertyName().compare(propertyName, Qt::CaseInsensitive) == 0 && item.Active()) {
            OPCLibrary::Instance().SignalSendData(item.Handle(), value);
            matched = true;
        }
    }
    return matched;
}

}  // namespace qv
