// SPDX-License-Identifier: MIT
// The upgrade dialog with the real library against tvp-devsim's devices:
// a busy device is retried once and then takes the image.
#include <gtest/gtest.h>

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <vector>

#include "devsim_process.h"
#include "gui_helpers.h"
#include "log.h"
#include "qt_printers.h"
#include "test_support.h"
#include "tvp.h"
#include "tvpinterface.h"
#include "upgrade.h"

namespace {

// The real library's answers; the pause passes without waiting, the clock
// moving with each sleep.
class UpgradeDevsim : public ::testing::Test, public TUpgradeSystem
{
protected:
    static void SetUpTestSuite()
    {
        if (!testsupport::InPrivateNetns())
            return;
        sim = std::make_unique<testsupport::DevSim>();
        ASSERT_TRUE(sim->Start());
        sim->UseFromThisProcess();
        // A stalled device is given up on after a few short waits.
        testsupport::SetEnvironment("TVP_TFTP_TIMEOUT_MS", "100");
    }
    static void TearDownTestSuite() { sim.reset(); }

    void SetUp() override
    {
        if (!testsupport::InPrivateNetns())
            GTEST_SKIP() << "needs the private network namespace of the test command (NETSCRY_NETNS=1)";
        ASSERT_TRUE(sim);
        // The program's own library callback, so code 4 reaches the dialog;
        // registered outside debug mode so that only the dialog's lines are logged.
        protocol = std::make_unique<TTVPInterface>(nullptr);
        DebugMode = true;
        LogForm = new TLogForm;
        form = std::make_unique<TUpgradeForm>();
        UpgradeForm = form.get();
        form->SetSystem(this);
    }

    int32_t UpgradeDevice(const char *path, const char *address) override
    {
        results.push_back(TVPUpgradeDevice(path, address));
        // The last event of the call leaves the bar full.
        auto *bar = form->findChild<QProgressBar *>("Progress");
        bars.push_back({bar->isVisible(), bar->maximum(), bar->value()});
        return results.back();
    }
    uint32_t TickCount() override { return now; }
    void Sleep(unsigned ms) override { now += ms; }

    void TearDown() override
    {
        UpgradeForm = nullptr;
        form.reset();
        protocol.reset();
        delete LogForm;
        DebugMode = false;
    }

    struct Bar
    {
        bool visible;
        int maximum;
        int value;
        bool operator==(const Bar &) const = default;
    };

    static inline std::unique_ptr<testsupport::DevSim> sim;
    std::unique_ptr<TTVPInterface> protocol;
    std::unique_ptr<TUpgradeForm> form;
    std::vector<int32_t> results;
    std::vector<Bar> bars;
    uint32_t now = 0;
};

TEST_F(UpgradeDevsim, DevicesOutcomesReachTheUser)
{
    testsupport::TempDir dir;
    const QString image = QString::fromStdString(dir.path()) + "/firmware-5.1.bin";
    QByteArray bytes(150000, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 251);
    {
        QFile f(image);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    const int size = int(bytes.size());

    const struct
    {
        const char *device;
        const char *address;
        std::vector<int32_t> results;
        QStringList log;
        bool received;
    } cases[] = {
        {"busy-first",
         "127.0.0.16",
         {TVPUpgradeNoAnswer, TVPUpgradeOK},
         {"First Upgrade Failed", "Delay 10 seconds", "Attempting second upgrade", "Second upgrade succeeded"},
         true},
        {"succeed", "127.0.0.11", {TVPUpgradeOK}, {"Upgrade succeeded"}, true},
        {"fail", "127.0.0.17", {TVPUpgradeDeviceError}, {"Upgrade Failed"}, false},
        {"stall", "127.0.0.18", {TVPUpgradeStalled}, {"Upgrade Failed"}, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.device);
        testsupport::ModalWatcher watcher;
        results.clear();
        bars.clear();
        const int logBefore = int(LogForm->Lines().size());
        const size_t simBefore = sim->LogLines().size();

        form->findChild<QLineEdit *>("FileName")->setText(image);
        form->SetIPAddressText(c.address);
        form->show();
        ASSERT_TRUE(testsupport::WaitFor([&] { return form->isVisible(); }));
        form->UpgradeExecute();

        EXPECT_EQ(results, c.results);
        EXPECT_EQ(LogForm->Lines().mid(logBefore), c.log);
        ASSERT_EQ(watcher.boxes.size(), 1u);
        EXPECT_EQ(watcher.boxes[0].text, c.received ? "Upgrade succeeded" : "Upgrade Failed");
        EXPECT_EQ(form->isVisible(), !c.received);
        EXPECT_FALSE(form->findChild<QProgressBar *>("Progress")->isVisible());
        if (c.received) {
            EXPECT_EQ(bars.back(), (Bar{true, size, size}));
            const std::string stored = std::string("tftp: ") + c.address + " received \"firmware-5.1.bin\", " +
                                       std::to_string(size) + " bytes";
            EXPECT_TRUE(sim->WaitForLine(stored)) << stored;
        }
        if (c.results.back() == TVPUpgradeStalled) {
            // the transfer had started: the bar showed part of it, and went
            ASSERT_FALSE(bars.empty());
            EXPECT_TRUE(bars.back().visible);
            EXPECT_EQ(bars.back().maximum, size);
            EXPECT_GT(bars.back().value, 0);
            EXPECT_LT(bars.back().value, size);
        }
        if (!c.received) {
            const auto lines = sim->LogLines();
            for (size_t i = simBefore; i < lines.size(); ++i)
                EXPECT_EQ(lines[i].find(std::string(c.address) + " received"), std::string::npos) << lines[i];
        }
        form->hide();
    }
}

} // namespace
