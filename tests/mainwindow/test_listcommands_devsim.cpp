// SPDX-License-Identifier: MIT
// Find and Export List against tvp-devsim's sample LAN: the filter bar over
// the scanned list, and the list written as netscry-cli discover writes it.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>

#include <memory>
#include <string>
#include <vector>

#include "csv.h"
#include "devices.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "mainwindow_support.h"
#include "qt_printers.h"
#include "test_support.h"
#include "tvpinterface.h"

using mwtest::DeviceList;
using mwtest::SampleNames;
using testsupport::WaitFor;

namespace {

class ListCommands : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace (NETSCRY_NETNS=1)";
        mwtest::FakeShell().Reset();
        sim = std::make_unique<testsupport::DevSim>(std::vector<std::string>{});
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        form = std::make_unique<TDeviceForm>();
        form->show();
        ASSERT_TRUE(Scanned());
    }

    void TearDown() override
    {
        form.reset();
        if (sim)
            sim->Stop();
    }

    // The cycle is over, every device listed and the two that can't be
    // reached (silent to probes, off the PC's subnet) marked; under Wine
    // every device fails the probe (tests/win/gui_tests.cmake).
    bool Scanned()
    {
        return WaitFor(
            [&] {
                auto *list = DeviceList(*form);
                int marked = 0;
                for (int i = 0; i < list->topLevelItemCount(); ++i)
                    marked += TDeviceForm::ImageIndex(list->topLevelItem(i)) == TDeviceForm::NotReachableImage;
                return !form->ProtocolInterface->DiscoveryTimer->isActive() &&
                       list->topLevelItemCount() == SampleNames.size() && marked >= 2;
            },
            8000);
    }

    template <typename T>
    T *Child(const char *name)
    {
        return form->findChild<T *>(QLatin1String(name));
    }

    QStringList ShownNames()
    {
        QStringList names;
        auto *list = DeviceList(*form);
        for (int i = 0; i < list->topLevelItemCount(); ++i)
            if (!list->topLevelItem(i)->isHidden())
                names << list->topLevelItem(i)->text(TDeviceForm::ColName);
        return names;
    }

    // One row selected at most, never a hidden one, and one whenever a row shows.
    void ExpectOneShownRowSelected()
    {
        const auto selected = DeviceList(*form)->selectedItems();
        ASSERT_EQ(selected.size(), ShownNames().isEmpty() ? 0 : 1);
        if (!selected.isEmpty()) {
            EXPECT_FALSE(selected.first()->isHidden());
        }
    }

    // What discover would write for the rows shown: their texts; reachable
    // without the mark unless another ID shares the address (Spare Bridge,
    // added by the export test, shares Packing PLC Bridge's).
    std::vector<QVariantMap> ShownRecords()
    {
        std::vector<QVariantMap> records;
        auto *list = DeviceList(*form);
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem *row = list->topLevelItem(i);
            if (row->isHidden())
                continue;
            const QString name = row->text(TDeviceForm::ColName);
            const QStringList conflict = name == "Spare Bridge"         ? QStringList{"00:1A:2B:00:00:03"}
                                         : name == "Packing PLC Bridge" ? QStringList{"00:1A:2B:00:00:99"}
                                                                        : QStringList{};
            records.push_back({{"name", name},
                               {"type", row->text(TDeviceForm::ColType)},
                               {"ip", row->text(TDeviceForm::ColIPAddress)},
                               {"id", row->text(TDeviceForm::ColID)},
                               {"interface", row->text(TDeviceForm::ColInterface)},
                               {"reachable", !testsupport::MarkedNotReachable(row) && conflict.isEmpty()},
                               {"conflict", conflict}});
        }
        return records;
    }

    std::unique_ptr<testsupport::DevSim> sim;
    std::unique_ptr<TDeviceForm> form;
};

TEST_F(ListCommands, FilterShowsMatchingRowsInOrderAndCountsTheUnreachable)
{
    QTest::keyClick(form.get(), Qt::Key_F, Qt::ControlModifier);
    auto *edit = Child<QLineEdit>("FindEdit");
    ASSERT_TRUE(WaitFor([&] { return edit->isVisible() && edit->hasFocus(); }));
    const QString interfaceText = DeviceList(*form)->topLevelItem(0)->text(TDeviceForm::ColInterface);
    const struct
    {
        QString typed;
        QStringList shown;
        QString counts;
    } cases[] = {
        {"", SampleNames, "8 of 8 devices match, 2 not reachable"},
        {"bridge", {"Packing PLC Bridge", "Warehouse Bridge"}, "2 of 8 devices match, 1 not reachable"},
        {"SERIAL",
         {"Chiller Monitor", "Line 2 Serial Server", "Old Firmware Unit"},
         "3 of 8 devices match, 0 not reachable"},
        {"0.0.14", {"Dock Door Sensor"}, "1 of 8 devices matches, 1 not reachable"},
        {"00:1a:2b:00:00:05", {"Warehouse Bridge"}, "1 of 8 devices matches, 1 not reachable"},
        {interfaceText, SampleNames, "8 of 8 devices match, 2 not reachable"},
        {"no such device", {}, "0 of 8 devices match, 0 not reachable"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        edit->clear();
        QTest::keyClicks(edit, c.typed);
        EXPECT_EQ(ShownNames(), c.shown);
        EXPECT_EQ(Child<QLabel>("FindCount")->text(), c.counts);
        ExpectOneShownRowSelected();
    }
}

TEST_F(ListCommands, ScanRowsAreFilteredAndEscShowsEveryRowInTheWindowAsBefore)
{
    auto *list = DeviceList(*form);
    const QRect listBefore = list->geometry();
    EXPECT_TRUE(Child<QWidget>("FindBar")->isHidden());

    QTest::keyClick(form.get(), Qt::Key_F, Qt::ControlModifier);
    auto *edit = Child<QLineEdit>("FindEdit");
    QTest::keyClicks(edit, "bridge");
    // a new scan clears the list; its answers meet the same filter
    QTest::keyClick(edit, Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(WaitFor([&] { return form->ProtocolInterface->DiscoveryTimer->isActive(); }));
    ASSERT_TRUE(Scanned());
    EXPECT_EQ(ShownNames(), QStringList({"Packing PLC Bridge", "Warehouse Bridge"}));
    EXPECT_EQ(Child<QLabel>("FindCount")->text(), "2 of 8 devices match, 1 not reachable");
    ExpectOneShownRowSelected();

    QTest::keyClick(edit, Qt::Key_Escape);
    EXPECT_TRUE(Child<QWidget>("FindBar")->isHidden());
    EXPECT_EQ(ShownNames(), SampleNames);
    EXPECT_EQ(mwtest::Column(*form, TDeviceForm::ColName), SampleNames);
    ExpectOneShownRowSelected();
    EXPECT_TRUE(list->hasFocus());
    ASSERT_TRUE(WaitFor([&] { return list->geometry() == listBefore; }));
}

// A value as QDebug writes it, with its type: readable in a failure.
std::string Shown(const QVariant &value)
{
    QString text;
    QDebug(&text) << value;
    return text.toStdString();
}

// The file as a list of records, each a map of discover's keys.
std::vector<QVariantMap> ReadBack(const QString &path, bool json)
{
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    const QByteArray bytes = file.readAll();
    std::vector<QVariantMap> records;
    if (json) {
        const QJsonDocument doc = QJsonDocument::fromJson(bytes);
        EXPECT_TRUE(doc.isArray());
        for (const QJsonValue &v : doc.array()) {
            QVariantMap r = v.toObject().toVariantMap();
            EXPECT_TRUE(v.toObject().value("conflict").isArray());
            r["conflict"] = r["conflict"].toStringList();
            records.push_back(r);
        }
        return records;
    }
    std::vector<site::CsvRecord> lines;
    std::string error;
    EXPECT_TRUE(site::ReadCsv(bytes.toStdString(), &lines, &error)) << error;
    if (lines.empty())
        return records;
    const std::vector<std::string> header = {"name", "type", "ip", "id", "interface", "reachable", "conflict"};
    EXPECT_EQ(lines[0].fields, header);
    for (size_t i = 1; i < lines.size(); ++i) {
        QVariantMap r;
        for (size_t f = 0; f < header.size() && f < lines[i].fields.size(); ++f)
            r[QString::fromStdString(header[f])] = QString::fromStdString(lines[i].fields[f]);
        // as discover writes them: "true"/"false", the other IDs blank-separated
        r["reachable"] = r["reachable"] == "true";
        r["conflict"] = r["conflict"].toString().split(' ', Qt::SkipEmptyParts);
        records.push_back(r);
    }
    return records;
}

TEST_F(ListCommands, ExportWritesTheShownRowsWithDiscoversFieldsAndNamesAFileItCannotWrite)
{
    // a second ID at Packing PLC Bridge's address: neither counts as reachable
    const TDeviceInfo spare = mwtest::Device("Spare Bridge", "00:1A:2B:00:00:99", "127.0.0.13");
    form->AddDevice(form->ProtocolInterface, &spare);
    testsupport::TempDir dir;
    const QString folder = QString::fromStdString(dir.path());
    testsupport::ModalWatcher watcher;
    const struct
    {
        QString filter; // the list's filter; empty: closed
        QString typed;  // in the save dialog
        bool chooseJson;
        QString written;
        bool json;
    } cases[] = {
        {"", "devices.csv", false, "devices.csv", false},
        {"bridge", "bridges", true, "bridges.json", true},
        // the extension wins over the type chosen
        {"", "all.json", false, "all.json", true},
    };
    QString typed;
    bool chooseJson = false;
    watcher.onDialog = [&](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog || !dialog->isVisible())
            return;
        dialog->setDirectory(folder);
        if (chooseJson) {
            // as a user picks the type: from the keyboard
            auto *types = dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo"));
            ASSERT_NE(types, nullptr);
            QTest::keyClick(types, Qt::Key_Down);
        }
        dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(typed);
        static_cast<QDialog *>(dialog)->accept(); // QFileDialog's own, which completes the name
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        form->FindExecute();
        Child<QLineEdit>("FindEdit")->setText(c.filter);
        if (c.filter.isEmpty())
            QTest::keyClick(Child<QLineEdit>("FindEdit"), Qt::Key_Escape);
        typed = c.typed;
        chooseJson = c.chooseJson;
        form->ExportListExecute();

        const auto expected = ShownRecords();
        EXPECT_EQ(expected.size(), c.filter.isEmpty() ? 9u : 3u);
        const auto written = ReadBack(folder + "/" + c.written, c.json);
        ASSERT_EQ(written.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i)
            for (auto field = expected[i].cbegin(); field != expected[i].cend(); ++field)
                EXPECT_EQ(Shown(written[i].value(field.key())), Shown(field.value()))
                    << field.key().toStdString() << " of row " << i;
    }
    EXPECT_TRUE(watcher.boxes.empty());

    const QString unwritable = folder + "/no such folder/list.csv";
    EXPECT_FALSE(form->ExportList(unwritable, TDeviceForm::ListFormat::Csv));
    ASSERT_EQ(watcher.boxes.size(), 1u);
    EXPECT_EQ(watcher.boxes[0].icon, QMessageBox::Warning);
    const QString start = "The list could not be written to " + QDir::toNativeSeparators(unwritable) + ": ";
    EXPECT_TRUE(watcher.boxes[0].text.startsWith(start)) << watcher.boxes[0].text.toStdString();
    // the reason the system gave, not an empty one
    EXPECT_GT(watcher.boxes[0].text.size(), start.size() + 3);
    EXPECT_FALSE(QFile::exists(unwritable));
}

} // namespace
