// SPDX-License-Identifier: MIT
// The About window and the version record it reads from the program file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QImage>
#include <QPalette>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <optional>
#include <string>
#include <vector>

#include "about.h"
#include "apptitle.h"
#include "qt_printers.h"
#include "test_support.h"
#include "versioninfo.h"

namespace {

using Version = std::array<uint16_t, 4>;

TEST(VersionText, ShowsFirstThirdAndFourthNumbersAroundAFixedFour)
{
    const struct
    {
        std::optional<Version> version;
        QString text;
    } cases[] = {
        {Version{5, 0, 0, 0}, "5.4.0 build 0"},
        {Version{1, 2, 3, 4}, "1.4.3 build 4"},
        {Version{7, 0, 65535, 12}, "7.4.65535 build 12"},
        {Version{65535, 65535, 65535, 65535}, "65535.4.65535 build 65535"},
        {std::nullopt, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(FormatVersionText(c.version), c.text);
}

// A minimal ELF file with one note section, built field by field.
struct Note
{
    std::string name; // without its terminating zero
    uint32_t type = 0;
    QByteArray desc;
    std::optional<uint32_t> declaredDescSize = std::nullopt;
};

struct ElfLayout
{
    bool wide = true;
    bool bigEndian = false;
    std::vector<Note> notes;
    std::optional<uint64_t> sectionTableOffset = std::nullopt;
    std::optional<uint64_t> noteOffset = std::nullopt;
    std::optional<uint32_t> sectionCount = std::nullopt;
};

class ElfWriter
{
public:
    explicit ElfWriter(bool bigEndian)
        : big_(bigEndian)
    {}
    void Put(QByteArray &b, qsizetype at, uint64_t v, int width) const
    {
        if (b.size() < at + width)
            b.resize(at + width, '\0');
        for (int i = 0; i < width; ++i) {
            const int shift = 8 * (big_ ? width - 1 - i : i);
            b[at + i] = char((v >> shift) & 0xFF);
        }
    }
    QByteArray Words(uint32_t ms, uint32_t ls) const
    {
        QByteArray b;
        Put(b, 0, ms, 4);
        Put(b, 4, ls, 4);
        return b;
    }

private:
    bool big_;
};

QByteArray BuildElf(const ElfLayout &layout)
{
    const ElfWriter w(layout.bigEndian);
    const qsizetype headerSize = layout.wide ? 64 : 52, entrySize = layout.wide ? 64 : 40;
    const auto pad = [](qsizetype n) { return (n + 3) / 4 * 4; };

    QByteArray notes;
    for (const Note &n : layout.notes) {
        const qsizetype at = notes.size();
        w.Put(notes, at, n.name.size() + 1, 4);
        w.Put(notes, at + 4, n.declaredDescSize.value_or(uint32_t(n.desc.size())), 4);
        w.Put(notes, at + 8, n.type, 4);
        QByteArray name = QByteArray::fromStdString(n.name);
        name.append('\0');
        name.resize(pad(name.size()), '\0');
        QByteArray desc = n.desc;
        desc.resize(pad(desc.size()), '\0');
        notes += name + desc;
    }

    QByteArray elf(headerSize, '\0');
    elf[0] = 0x7f;
    elf[1] = 'E';
    elf[2] = 'L';
    elf[3] = 'F';
    elf[4] = layout.wide ? 2 : 1;
    elf[5] = layout.bigEndian ? 2 : 1;
    elf[6] = 1;
    const qsizetype noteAt = elf.size();
    elf += notes;
    const qsizetype tableAt = pad(elf.size());
    elf.resize(tableAt + 2 * entrySize, '\0'); // the null section, then the notes

    const qsizetype note = tableAt + entrySize;
    w.Put(elf, note + 4, 7, 4); // SHT_NOTE
    const uint64_t noteOffset = layout.noteOffset.value_or(uint64_t(noteAt));
    if (layout.wide) {
        w.Put(elf, 40, layout.sectionTableOffset.value_or(uint64_t(tableAt)), 8);
        w.Put(elf, 58, entrySize, 2);
        w.Put(elf, 60, layout.sectionCount.value_or(2), 2);
        w.Put(elf, note + 0x18, noteOffset, 8);
        w.Put(elf, note + 0x20, uint64_t(notes.size()), 8);
        w.Put(elf, note + 0x30, 4, 8);
    } else {
        w.Put(elf, 32, layout.sectionTableOffset.value_or(uint64_t(tableAt)), 4);
        w.Put(elf, 46, entrySize, 2);
        w.Put(elf, 48, layout.sectionCount.value_or(2), 2);
        w.Put(elf, note + 0x10, noteOffset, 4);
        w.Put(elf, note + 0x14, uint64_t(notes.size()), 4);
        w.Put(elf, note + 0x20, 4, 4);
    }
    return elf;
}

QString WriteFile(const testsupport::TempDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = QString::fromStdString(dir.path()) + '/' + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    return path;
}

TEST(ReadFileVersion, FindsTheVersionNoteInAnyElfLayoutAndRefusesDamage)
{
    const ElfWriter le(false), be(true);
    const Note gnu{"GNU", 3, QByteArray(20, '\x5a')};
    const struct
    {
        const char *what;
        ElfLayout layout;
        std::optional<Version> expected;
    } cases[] = {
        {"64-bit little-endian",
         {true, false, {{"Netscry", 1, le.Words(0x00010002, 0x00030004)}}},
         Version{1, 2, 3, 4}},
        {"32-bit big-endian",
         {false, true, {{"Netscry", 1, be.Words(0x00070000, 0xFFFF000C)}}},
         Version{7, 0, 65535, 12}},
        {"after another owner's note",
         {true, false, {gnu, {"Netscry", 1, le.Words(0x00050000, 0)}}},
         Version{5, 0, 0, 0}},
        {"another owner only", {true, false, {{"Netscrx", 1, le.Words(0x00050000, 0)}}}, std::nullopt},
        {"another note type", {true, false, {{"Netscry", 2, le.Words(0x00050000, 0)}}}, std::nullopt},
        {"short descriptor", {true, false, {{"Netscry", 1, QByteArray(4, '\1')}}}, std::nullopt},
        {"descriptor size beyond the section",
         {true, false, {gnu, {"Netscry", 1, le.Words(1, 2), 0xFFFFFFF0u}}},
         std::nullopt},
        {"section beyond the file",
         {true, false, {{"Netscry", 1, le.Words(1, 2)}}, std::nullopt, 0xFFFFFFFFFFFFFF00ull},
         std::nullopt},
        {"section table beyond the file",
         {true, false, {{"Netscry", 1, le.Words(1, 2)}}, 0x7FFFFFFFFFFFFFF0ull},
         std::nullopt},
        {"more sections than the file holds",
         {false, false, {{"Netscry", 1, le.Words(1, 2)}}, std::nullopt, std::nullopt, 60000},
         std::nullopt},
    };
    testsupport::TempDir dir;
    for (const auto &c : cases) {
        const QString path = WriteFile(dir, QString::fromLatin1(c.what), BuildElf(c.layout));
        EXPECT_EQ(ReadFileVersion(path), c.expected) << c.what;
    }

    const QByteArray good = BuildElf({true, false, {{"Netscry", 1, le.Words(0x00010002, 3)}}});
    const struct
    {
        const char *what;
        QByteArray bytes;
    } others[] = {
        {"empty", {}},
        {"text", "not a program\n"},
        {"truncated", good.left(good.size() - 1)},
        {"ELF magic only", "\x7f"
                           "ELF"},
    };
    for (const auto &o : others)
        EXPECT_EQ(ReadFileVersion(WriteFile(dir, QString::fromLatin1(o.what), o.bytes)), std::nullopt) << o.what;
    EXPECT_EQ(ReadFileVersion(QString::fromStdString(dir.path()) + "/missing"), std::nullopt);
}

TEST(ReadFileVersion, TheProgramCarriesItsVersionAndATestProgramNone)
{
#ifdef _WIN32
    const QString program = QString::fromStdString(testsupport::BinDir()) + "/netscry.exe";
#else
    const QString program = QString::fromStdString(testsupport::BinDir()) + "/netscry";
#endif
    ASSERT_TRUE(QFile::exists(program)) << program.toStdString();
    EXPECT_EQ(ReadFileVersion(program), (Version{5, 0, 0, 0}));
    EXPECT_EQ(FormatVersionText(ReadFileVersion(program)), "5.4.0 build 0");
    EXPECT_EQ(ReadFileVersion(QCoreApplication::applicationFilePath()), std::nullopt);
}

class AboutWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        savedTitle = ApplicationTitle;
        ApplicationTitle = QStringLiteral("netscry.test");
        form = new TAboutForm;
    }
    void TearDown() override
    {
        delete form;
        ApplicationTitle = savedTitle;
    }
    template <typename T>
    T *child(const char *name)
    {
        T *w = form->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    QString savedTitle;
    TAboutForm *form = nullptr;
};

TEST_F(AboutWindowTest, ShowsTitleCopyrightAndVersionOnWhite)
{
    EXPECT_EQ(form->windowTitle(), "netscry.test");
    auto *name = child<QLabel>("ProgramName");
    EXPECT_EQ(name->text(), "netscry.test");
    EXPECT_EQ(name->font().pixelSize(), 16);
    EXPECT_TRUE(name->font().bold());
    EXPECT_TRUE(name->font().italic());
    EXPECT_EQ(name->font().family(), "Arial");
    EXPECT_EQ(name->pos(), QPoint(8, 8));
    // The test program carries no version record.
    EXPECT_EQ(child<QLabel>("Version")->text(), "Version: ");
    const QString copyright = child<QLabel>("Label1")->text();
    EXPECT_TRUE(copyright.contains("Tarvex") && copyright.contains("2006")) << copyright.toStdString();
    EXPECT_EQ(form->size(), QSize(320, 195));

    const QImage shot = form->grab().toImage();
    for (const QPoint p : {QPoint(2, 190), QPoint(300, 100), QPoint(150, 150)})
        EXPECT_EQ(shot.pixelColor(p), QColor(Qt::white)) << p.x() << "," << p.y();
}

TEST_F(AboutWindowTest, EmblemIsDarkBlueOnWhiteAndStaysCentred)
{
    auto *image = child<QLabel>("BackgroundImage");
    const QPixmap emblem = image->pixmap();
    ASSERT_FALSE(emblem.isNull());
    EXPECT_EQ(emblem.size(), QSize(59, 30));
    const QImage pixels = emblem.toImage();
    int blue = 0;
    for (int y = 0; y < pixels.height(); ++y)
        for (int x = 0; x < pixels.width(); ++x) {
            const QColor c = pixels.pixelColor(x, y);
            blue += c.blue() > 80 && c.red() < 80 && c.green() < 100;
        }
    EXPECT_GT(blue, 40);
    EXPECT_EQ(pixels.pixelColor(0, 0), QColor(Qt::white));

    form->show();
    form->resize(500, 320);
    QCoreApplication::processEvents();
    EXPECT_EQ(image->geometry(), form->rect());
    EXPECT_EQ(child<QPushButton>("Button1")->pos(), QPoint(232, 168));
    EXPECT_EQ(child<QLabel>("Version")->pos(), QPoint(8, 64));
    // The button lies above the picture.
    EXPECT_EQ(form->childAt(240, 175), child<QPushButton>("Button1"));
    form->hide();
}

TEST_F(AboutWindowTest, CloseAndEnterEndWithOkWhileEscapeDoesNothing)
{
    auto *close = child<QPushButton>("Button1");
    EXPECT_EQ(close->text(), "Close");
    EXPECT_TRUE(close->isDefault());

    bool openAfterEscape = false;
    QTimer::singleShot(0, form, [&] {
        QTest::keyClick(form, Qt::Key_Escape);
        openAfterEscape = form->isVisible();
        QTest::mouseClick(close, Qt::LeftButton);
    });
    EXPECT_EQ(form->exec(), int(QDialog::Accepted));
    EXPECT_TRUE(openAfterEscape);

    QTimer::singleShot(0, form, [&] { QTest::keyClick(form, Qt::Key_Return); });
    EXPECT_EQ(form->exec(), int(QDialog::Accepted));
}

} // namespace

namespace {

// In a dark desktop palette the texts would turn light grey on the white
// picture; they keep a dark colour of their own.
TEST(AboutWindow, TextsStayReadableInADarkPalette)
{
    const QPalette saved = QApplication::palette();
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2d, 0x2d, 0x30));
    dark.setColor(QPalette::WindowText, QColor(0xd8, 0xd8, 0xd8));
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
    dark.setColor(QPalette::Text, QColor(0xe0, 0xe0, 0xe0));
    dark.setColor(QPalette::Button, QColor(0x3c, 0x3c, 0x40));
    dark.setColor(QPalette::ButtonText, QColor(0xe8, 0xe8, 0xe8));
    QApplication::setPalette(dark);
    const QString savedTitle = ApplicationTitle;
    ApplicationTitle = QStringLiteral("netscry");
    {
        TAboutForm about;
        about.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&about));
        for (const char *name : {"ProgramName", "Label1", "Version"}) {
            auto *label = about.findChild<QLabel *>(QLatin1String(name));
            ASSERT_NE(label, nullptr) << name;
            const QImage text = label->grab().toImage();
            ASSERT_FALSE(text.isNull()) << name;
            int darkest = 255, lightest = 0;
            for (int y = 0; y < text.height(); ++y)
                for (int x = 0; x < text.width(); ++x) {
                    darkest = std::min(darkest, qGray(text.pixel(x, y)));
                    lightest = std::max(lightest, qGray(text.pixel(x, y)));
                }
            EXPECT_GE(lightest, 245) << name << ": the background stays white";
            EXPECT_LE(darkest, 90) << name << ": the text is dark";
        }
    }
    QApplication::setPalette(saved);
    ApplicationTitle = savedTitle;
}

} // namespace
