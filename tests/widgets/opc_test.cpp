#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>

#include "opc_test_library.h"
#include "widgets/inst_led_bar.h"
#include "widgets/inst_opc.h"

namespace qv {
namespace {

using testing::StrEq;
using testing::ThrowsMessage;

TEST(OPCBinding, ValuesFromTheLibraryThreadReachTheWidgetAndErrorsTheCaller) {
    ASSERT_TRUE(OPCLibrary::Instance().Loaded());
    TInstLedBar bar;
    std::vector<int> arrived;
    bar.OnNewOPCData = [&](TInstWinComponent*, int index) { arrived.push_back(index); };
    bar.OPCItems().Add();  // an item with nothing to connect
    TInstOPCItem& item = bar.OPCItems().Add();
    item.SetPropertyName("Position");
    item.SetServerName("Sim");
    item.SetItemName("Nivel");
    item.SetScalar(2);
    item.SetOffset(1);
    item.SetAutoError(true);
    item.Loaded();
    ASSERT_TRUE(item.Connected());
    QvOpcTestSignal info = QvOpcTestInfo(item.Handle());
    EXPECT_EQ(info.item, u"Nivel");
    EXPECT_EQ(info.requestedType, 0);

    QvOpcValue value{};
    value.type = QV_OPC_I4;
    value.integer = 20;
    QvOpcTestPublish(item.Handle(), value, 192);
    EXPECT_EQ(bar.GetPosition(), 0);  // not before the main thread handles it
    QApplication::processEvents();
    EXPECT_EQ(bar.GetPosition(), 41);
    EXPECT_EQ(item.Value(), QVariant::fromValue<qint32>(41));
    EXPECT_FALSE(bar.ErrorActive());
    EXPECT_EQ(arrived, std::vector<int>{1});

    value.integer = 5;  // bad quality: the property keeps its value, the widget shows the fault
    QvOpcTestPublish(item.Handle(), value, 0);
    QApplication::processEvents();
    EXPECT_EQ(bar.GetPosition(), 41);
    EXPECT_TRUE(bar.ErrorActive());

    // A string property asks for text; the writer's value goes back to the server.
    TInstOPCItem& hint = bar.OPCItems().Add();
    hint.SetPropertyName("Hint");
    hint.SetGroupName("Grupo");
    hint.SetItemName("Texto");
    hint.Loaded();
    EXPECT_EQ(QvOpcTestInfo(hint.Handle()).requestedType, QV_OPC_STRING);
    EXPECT_TRUE(bar.OPCPropertyQuery("POSITION", 12.5));
    EXPECT_EQ(QvOpcTestLastSent(), 12.5);
    EXPECT_FALSE(bar.OPCPropertyQuery("SegmentSize", 3));

    // A notice still on its way when the item goes is dropped.
    QvOpcTestPublish(item.Handle(), value, 192);
    bar.OPCItems().Clear();
    QApplication::processEvents();
    EXPECT_EQ(arrived.size(), 2u);

    // The library's own error text, and an entry point it lacks, reach the caller.
    TInstOPCItem& other = bar.OPCItems().Add();
    other.SetPropertyName("Position");
    other.SetItemName("Nivel");
    other.SetServerName("fail");
    EXPECT_THAT([&] { other.Connect(); },
                ThrowsMessage<OPCError>(StrEq("Servidor OPC no disponible")));
    other.SetServerName("Sim");
    other.Connect();
    EXPECT_THAT([&] { other.UpdateSuspended(); },
                ThrowsMessage<OPCError>(
                    StrEq("Function \"SignalGetUpdateSuspended\" not found in \"instopc.dll\".")));
}

}  // namespace
}  // namespace qv
