#pragma once
// Binding of instrument widget properties to OPC data-access items. The OPC
// traffic goes through an optional outside library; without it nothing connects.

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "widgets/opc_abi.h"

namespace qv {

class TInstWinComponent;
class TInstOPCItemManager;

struct OPCError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The optional library, loaded by name once per process.
class OPCLibrary {
  public:
    static constexpr const char* kFileName = "libinstopc.so";
    // The library as the process has it (loaded on first use).
    static OPCLibrary& Instance();
    // A library under another name or path (tests).
    explicit OPCLibrary(const std::string& fileName);
    ~OPCLibrary();
    OPCLibrary(const OPCLibrary&) = delete;
    OPCLibrary& operator=(const OPCLibrary&) = delete;

    bool Loaded() const { return handle_ != nullptr; }
    // An entry point by name, or null when the library lacks it.
    void* Entry(const char* name) const;

    std::uint64_t SignalAdd(const QString& computer, const QString& server, const QString& item,
                            const QString& group, int updateRate, bool requestString,
                            const QvOpcCallback* callback);
    void SignalRemove(std::uint64_t handle);
    bool SignalGetActive(std::uint64_t handle);
    bool SignalGetUpdateSuspended(std::uint64_t handle);
    void SignalSendData(std::uint64_t handle, const QVariant& value);
    QVariant SignalGetData(std::uint64_t handle);
    QDateTime SignalGetTimeStamp(std::uint64_t handle);
    std::uint16_t SignalGetQuality(std::uint64_t handle);

  private:
    template <class Fn>
    Fn Bound(const char* name) const;
    void CheckLastError() const;

    void* handle_ = nullptr;
    std::vector<std::pair<const char*, void*>> entries_;
};

class TInstOPCItem {
  public:
    explicit TInstOPCItem(TInstOPCItemManager* manager = nullptr);
    ~TInstOPCItem();
    TInstOPCItem(const TInstOPCItem&) = delete;
    TInstOPCItem& operator=(const TInstOPCItem&) = delete;

    QString PropertyName() const { return propertyName_; }
    void SetPropertyName(const QString& value);
    QString GroupName() const { return groupName_; }
    void SetGroupName(const QString& value) { SetAndReconnect(groupName_, value); }
    QString ComputerName() const { return computerName_; }
    void SetComputerName(const QString& value) { SetAndReconnect(computerName_, value); }
    QString ServerName() const { return serverName_; }
    void SetServerName(const QString& value) { SetAndReconnect(serverName_, value); }
    QString ItemName() const { return itemName_; }
    void SetItemName(const QString& value) { SetAndReconnect(itemName_, value); }
    double Scalar() const { return scalar_; }
    void SetScalar(double value) { scalar_ = value; }
    double Offset() const { return offset_; }
    void SetOffset(double value) { offset_ = value; }
    int UpdateRate() const { return updateRate_; }
    void SetUpdateRate(int value);
    bool UpdateSuspended() const;
    bool AutoConnect() const { return autoConnect_; }
    void SetAutoConnect(bool value);
    bool AutoError() const { return autoError_; }
    void SetAutoError(bool value);

    void Connect();
    void Disconnect();
    bool Connected() const { return handle_ != 0; }
    std::uint64_t Handle() const { return handle_; }
    bool Active() const;
    // Called once the item's settings have been read (as after form loading).
    void Loaded();
    // The library's notice of new data (main thread).
    void DataArrived();

    QVariant Value() const { return value_; }
    QDateTime TimeStamp() const { return timeStamp_; }
    std::uint16_t Quality() const { return quality_; }
    int PropertyType() const { return propertyType_; }
    TInstOPCItemManager* Manager() const { return manager_; }

  private:
    bool Usable() const;
    void SetAndReconnect(QString& field, const QString& value);
    void RefreshErrorFlag();

    QString propertyName_, groupName_, computerName_ = "Local", serverName_, itemName_;
    double scalar_ = 0, offset_ = 0;
    int updateRate_ = 500;
    bool autoConnect_ = true, autoError_ = false;
    int propertyType_ = 0;  // QMetaType id of the bound property, 0 when unknown
    std::uint64_t handle_ = 0;
    QVariant value_;
    QDateTime timeStamp_;
    std::uint16_t quality_ = 0;
    TInstOPCItemManager* manager_;
    // Lets a notice posted from the library's thread find out that the item is gone.
    std::shared_ptr<TInstOPCItem*> alive_;
    QvOpcCallback callback_{};
};

// The OPC items of one widget; it owns them.
class TInstOPCItemManager {
  public:
    explicit TInstOPCItemManager(TInstWinComponent* widget);
    ~TInstOPCItemManager();

    TInstOPCItem& Add();
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    TInstOPCItem& Item(int index) { return *items_.at(index); }
    int IndexOf(const TInstOPCItem* item) const;
    TInstWinComponent* Widget() const { return widget_; }

    bool LoadingOrDesigning() const;
    void NewData(TInstOPCItem& item);
    int PropertyType(const QString& name) const;

  private:
    TInstWinComponent* widget_;
    std::vector<std::unique_ptr<TInstOPCItem>> items_;
};

}  // namespace qv
