// The README's table of bad inputs, row by row: each row runs the real action on the
// in-process installer with exactly the input the row names (a fresh copy of
// examples/install/, the local registration service for the network rows, a WMI
// test table for the WQL rows) and checks the lines the installer received, the
// exit code, and what the row says was kept. The rows below ARE the table: the
// README's copy is compared with the one rendered from them, so neither can change
// alone. To print the rendered table (to paste it after changing a row), run the
// test ReadmeTableIsTheTestsTable with OSTREL_PRINT_BAD_INPUTS_TABLE=1.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/unit/posix/build_paths.h"
#include "as_writer.h"
#include "actions/registration_files.h"
#include "module/exports.h"
#include "runtime/context_log.h"
#include "service_fixture.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using Strings = std::vector<std::string>;

constexpr char kSampleUrn[] = "urn:st:0f6a9c2e-4b1d-4e8a-9c3f-7d2b5e8a1c40";
constexpr char kSampleUrl[] = "https://register.example.com/reg/svctag?product=ostrel-desk&v=4.2";
constexpr char kProcessorQuery[] = "SELECT DeviceID, Name FROM Win32_Processor";

// Pages above this size are compared by their metadata, not read back.
constexpr uintmax_t kLargestComparedPage = 64u << 20;
// What a row says is kept (or what became of it); each is checked after the run and
// named in the table's "After the run" column.
enum Kept : unsigned {
    kPageUnchanged = 1u << 0,
    kPageMerged = 1u << 1,
    kPageTagCut = 1u << 2,
    kNoFileLeft = 1u << 3,
    kNothingPosted = 1u << 4,
    kTagPosted = 1u << 5,
    kNoBrowser = 1u << 6,
    kLocalPageOpened = 1u << 7,
    kDestinationOpened = 1u << 8,
    kNoProperty = 1u << 9,
    kNotQueried = 1u << 10,
};

struct KeptText {
    Kept flag;
    const char* text;
};
const KeptText kKeptTexts[] = {
    {kPageUnchanged, "page unchanged"},
    {kPageMerged, "page merged"},
    {kPageTagCut, "page merged without the zero bytes that end the service tag"},
    {kNoFileLeft, "no file left"},
    {kNothingPosted, "nothing posted"},
    {kTagPosted, "svctag.xml posted as it is"},
    {kNoBrowser, "no browser"},
    {kLocalPageOpened, "browser on the local page"},
    {kDestinationOpened, "browser on the destination"},
    {kNoProperty, "no property set"},
    {kNotQueried, "WMI not queried"},
};

class BadInputs;
using Arrange = void (*)(BadInputs&);

// One row of the table. The lines are the texts after the action's name, a colon
// and two blanks; "<dir>" stands for the installation directory as the action got it.
struct Row {
    const char* input;
    const char* action;
    Arrange arrange;
    Lines lines;
    UINT exit;
    unsigned kept;
    const char* note;
};

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The page as a merge of `tag` leaves it: the first "WXYZ" replaced by the URN, the
// first "TUVW" after it by the tag with its double quotes as "%22".
std::string Merged(std::string page, const std::string& urn, const std::string& tag) {
    const std::string encoded = Replaced(tag, "\"", "%22");
    const size_t urnAt = page.find("WXYZ");
    page.replace(urnAt, 4, urn);
    page.replace(page.find("TUVW", urnAt), 4, encoded);
    return page;
}

// What one run left behind.
struct RunResult {
    UINT exit = 0;
    Lines lines;  // whole, as the installer received them
    size_t infoMessages = 0;
    size_t progressMessages = 0;
    std::string pageBefore;
    std::string pageAfter;
    std::string tag;  // svctag.xml as the run found it
    Strings namesBefore;
    Strings namesAfter;
    size_t postsBefore = 0;
    size_t postsAfter = 0;
    std::string lastBody;
    Strings opened;
    Strings changed;  // properties changed, the action's input left out
    Strings journal;
};

class BadInputs : public ServiceTest {
  public:
    // What the arrange functions use.
    fs::path Install() const { return dir_ / "install"; }
    fs::path Page() const { return Install() / "register.htm"; }
    fs::path Tag() const { return Install() / "svctag.xml"; }
    fs::path Container() const { return dir_; }

    void SetInput(const std::string& input) {
        input_ = input;
        hasInput_ = true;
    }
    void ClearInput() { hasInput_ = false; }
    void RunDeferred() { deferred_ = true; }
    void RunAsWriter() { asWriter_ = true; }

    // Replaces the first `from` of the page by `to`.
    void EditPage(const std::string& from, const std::string& to) {
        std::string page = ReadBytes(Page());
        const size_t at = page.find(from);
        ASSERT_NE(std::string::npos, at) << from;
        page.replace(at, from.size(), to);
        WriteBytes(Page(), page);
    }
    // Gives the page's form another action, which the browser then gets.
    void SetDestination(const std::string& destination) {
        EditPage(std::string("action=\"") + kSampleUrl + "\"", "action=\"" + destination + "\"");
        destination_ = destination;
    }

    // The local service with these options stands in for register.example.com:443;
    // a running one with the same options is kept.
    void Serve(const ServiceOptions& options) {
        const bool same =
            serving_ && served_.variant == options.variant && served_.status == options.status &&
            served_.redirect == options.redirect && served_.delaySeconds == options.delaySeconds;
        serviceChosen_ = true;
        if (!same) {
            service_.Stop();
            serving_ = false;
            std::string error;
            ASSERT_TRUE(service_.Start(options, &error)) << error;
            served_ = options;
            serving_ = true;
        }
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        RedirectTo(service_.port());
    }
    // register.example.com:443 leads to a port of 127.0.0.1 that nothing listens on.
    void NetworkDown() {
        serviceChosen_ = true;
        service_.Stop();
        serving_ = false;
        SeamClearInternetSettings();
        SeamTrustExtraCa(RegistrationService::CertificateDirectory() + "/ca.pem");
        RedirectTo(RegistrationService::UnusedPort());
    }

    // Opens the page through the file layer and keeps it open during the run, as
    // another process would.
    void HoldPage(DWORD access, DWORD share) {
        const std::u16string path = Utf8ToUtf16(Page().string());
        held_ = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held_);
    }

  protected:
    void SetUp() override {
        ServiceTest::SetUp();
        char pattern[] = "/tmp/ostrel-bad-inputs-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        dir_ = pattern;
        ASSERT_EQ(0, chmod(dir_.c_str(), 0755));  // the read-only rows run as another user
    }
    void TearDown() override {
        ReleasePage();
        SeamClearFailures();
        SeamWbemClearTables();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        ServiceTest::TearDown();
    }

    // Runs `action` on a fresh copy of the sample installation, its input the copy's
    // directory (or, for CAQueryWMI, a query of the test table), after `arrange`
    // made the bad input and `script` the installer's answers.
    RunResult Run(const std::string& action, Arrange arrange,
                  const std::function<void(MSIHANDLE)>& script = nullptr) {
        RunResult result;
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
        fs::create_directories(Install());
        chmod(dir_.c_str(), 0755);
        chmod(Install().c_str(), 0755);
        for (const char* name : {"svctag.xml", "register.htm"}) {
            fs::copy_file(fs::path(OSTREL_SOURCE_DIR) / "examples/install" / name,
                          Install() / name);
        }
        SetInput(Install().string() + "/");
        deferred_ = false;
        asWriter_ = false;
        destination_ = kSampleUrl;
        serviceChosen_ = false;
        if (action == "CAQueryWMI") {
            SeamWbemSetTable(u"Win32_Processor", {{u"DeviceID", CIM_STRING}, {u"Name", CIM_STRING}},
                             {{WbemValue::Text(u"CPU0"), WbemValue::Text(u"Ostrel Core 4.2 GHz")}});
            SetInput(kProcessorQuery);
        }
        if (arrange != nullptr) {
            arrange(*this);
        }
        if (action == "CASendServiceTag" && !serviceChosen_) {
            // The service as it should be, kept from row to row: it answers 200.
            ServiceOptions normal;
            normal.maxRequests = 64;
            Serve(normal);
        }
        if (HasFatalFailure()) {
            return result;
        }

        const MSIHANDLE session = InstallerOpenSession();
        const std::u16string inputProperty = InputProperty(action);
        if (deferred_) {
            InstallerSetRunMode(session, MSIRUNMODE_SCHEDULED, true);
            if (hasInput_) {
                InstallerSetProperty(session, u"CustomActionData", Utf8ToUtf16(input_));
            }
        } else if (hasInput_ && !inputProperty.empty()) {
            InstallerSetProperty(session, inputProperty, Utf8ToUtf16(input_));
        }
        if (script) {
            script(session);
        }

        result.pageBefore = PageState();
        result.tag = ReadBytes(Tag());
        result.namesBefore = Names();
        result.postsBefore = serving_ ? service_.Requests().size() : 0;
        SeamClearOpenRequests();
        const size_t blocks = SeamLiveHeapBlocks();
        const size_t files = SeamLiveFileHandles();
        const size_t comObjects = SeamLiveComObjects();
        const size_t bstrs = SeamLiveBstrs();
        SeamComJournalStart();
        {
            AsWriter writer(asWriter_);
            result.exit = Call(action, session);
        }
        result.journal = SeamComJournalTake();

        EXPECT_EQ(blocks, SeamLiveHeapBlocks()) << "heap blocks left live";
        EXPECT_EQ(files, SeamLiveFileHandles()) << "file handles left open";
        EXPECT_EQ(comObjects, SeamLiveComObjects()) << "COM objects left alive";
        EXPECT_EQ(bstrs, SeamLiveBstrs()) << "BSTRs left allocated";
        EXPECT_EQ(0, SeamComInitDepth()) << "COM left initialised";
        EXPECT_EQ(0u, SeamLiveInternetHandles()) << "HINTERNET handles left open";
        ReleasePage();

        for (const InstallerMessage& message : InstallerMessages(session)) {
            if (message.type == INSTALLMESSAGE_INFO) {
                ++result.infoMessages;
                result.lines.push_back(Utf16ToUtf8(message.fields[0].text));
            } else if (message.type == INSTALLMESSAGE_PROGRESS) {
                ++result.progressMessages;
            }
        }
        for (const std::u16string& name : InstallerChangedProperties(session)) {
            if (name != inputProperty && name != u"CustomActionData") {
                result.changed.push_back(Utf16ToUtf8(name) + "=" +
                                         Utf16ToUtf8(InstallerGetProperty(session, name)));
            }
        }
        InstallerCloseSession(session);
        SeamClearFailures();
        SeamWbemClearTables();

        result.pageAfter = PageState();
        result.namesAfter = Names();
        if (serving_) {
            const std::vector<RecordedRequest> requests = service_.Requests();
            result.postsAfter = requests.size();
            if (!requests.empty()) {
                result.lastBody = requests.back().body;
            }
        }
        result.opened = Opened();
        return result;
    }

    // Runs the row and checks it as the table states it.
    void CheckRow(const Row& row) {
        SCOPED_TRACE(std::string(row.input) + ", " + row.action);
        const RunResult result = Run(row.action, row.arrange);
        if (HasFatalFailure()) {
            return;
        }
        Lines expected;
        for (const std::string& line : row.lines) {
            expected.push_back(std::string(row.action) + ":  " + Replaced(line, "<dir>", input_));
        }
        EXPECT_EQ(expected, result.lines);
        EXPECT_EQ(row.exit, result.exit);
        CheckKept(row.kept, result);
    }

    void CheckKept(unsigned kept, const RunResult& result) {
        if (kept & kPageUnchanged) {
            EXPECT_TRUE(result.pageAfter == result.pageBefore) << "the page changed";
        }
        if (kept & kPageMerged) {
            EXPECT_TRUE(result.pageAfter == Merged(result.pageBefore, kSampleUrn, result.tag))
                << "the page is not the merge of the service tag";
        }
        if (kept & kPageTagCut) {
            const size_t zero = result.tag.find('\0');
            const std::string cut = result.tag.substr(0, zero);
            EXPECT_NE(cut, result.tag) << "the service tag holds no zero byte";
            EXPECT_EQ(std::string::npos, result.tag.find_first_not_of('\0', zero))
                << "the service tag's zero bytes are not all at its end";
            EXPECT_TRUE(result.pageAfter == Merged(result.pageBefore, kSampleUrn, cut))
                << "the page is not the merge of the service tag's bytes before its zeros";
        }
        if (kept & kNoFileLeft) {
            EXPECT_EQ(result.namesBefore, result.namesAfter);
        }
        if (kept & (kNothingPosted | kTagPosted)) {
            EXPECT_TRUE(serving_) << "no service ran to receive a post";
        }
        if (kept & kNothingPosted) {
            EXPECT_EQ(result.postsBefore, result.postsAfter) << "posted";
        }
        if (kept & kTagPosted) {
            EXPECT_EQ(result.postsBefore + 1, result.postsAfter) << "not posted once";
            EXPECT_TRUE(result.lastBody == result.tag) << "the body is not svctag.xml";
        }
        if (kept & kNoBrowser) {
            EXPECT_EQ(Strings{}, result.opened);
        }
        if (kept & kLocalPageOpened) {
            EXPECT_EQ(Strings{input_ + "register.htm"}, result.opened);
        }
        if (kept & kDestinationOpened) {
            EXPECT_EQ(Strings{destination_}, result.opened);
        }
        if (kept & kNoProperty) {
            EXPECT_EQ(Strings{}, result.changed);
        }
        if (kept & kNotQueried) {
            for (const std::string& call : result.journal) {
                EXPECT_EQ(std::string::npos, call.find("ExecQuery")) << call;
            }
        }
    }

    std::string input_;

  private:
    static std::u16string InputProperty(const std::string& action) {
        if (action == "CAUpdateOfflineReg") {
            return u"UpdateRegistration";
        }
        if (action == "CASendServiceTag") {
            return u"PostRegistration";
        }
        if (action == "CAQueryWMI") {
            return u"WMIQuery";
        }
        return u"";
    }

    static UINT Call(const std::string& action, MSIHANDLE session) {
        if (action == "CAUpdateOfflineReg") {
            return CAUpdateOfflineReg(session);
        }
        if (action == "CASendServiceTag") {
            return CASendServiceTag(session);
        }
        if (action == "CAQueryWMI") {
            return CAQueryWMI(session);
        }
        if (action == "CASetRegDateTime") {
            return CASetRegDateTime(session);
        }
        if (action == "CACreateURN") {
            return CACreateURN(session);
        }
        ADD_FAILURE() << "no action " << action;
        return 0;
    }

    // The page's bytes, or for a page too big to read back, its size, time and inode.
    std::string PageState() const {
        struct stat info {};
        if (stat(Page().c_str(), &info) != 0) {
            return "(no page)";
        }
        if (static_cast<uintmax_t>(info.st_size) > kLargestComparedPage) {
            return "size " + std::to_string(info.st_size) + ", inode " +
                   std::to_string(info.st_ino) + ", written " +
                   std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec);
        }
        return ReadBytes(Page());
    }

    // Every name under the container, sorted.
    Strings Names() const {
        Strings names;
        for (const auto& entry : fs::recursive_directory_iterator(dir_)) {
            names.push_back(fs::relative(entry.path(), dir_).string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    void ReleasePage() {
        if (held_ != INVALID_HANDLE_VALUE) {
            CloseHandle(held_);
            held_ = INVALID_HANDLE_VALUE;
        }
    }

    fs::path dir_;
    bool hasInput_ = true;
    bool deferred_ = false;
    bool asWriter_ = false;
    std::string destination_;
    bool serving_ = false;
    bool serviceChosen_ = false;  // by the arrange function, for this run
    ServiceOptions served_;
    HANDLE held_ = INVALID_HANDLE_VALUE;
};

// ---- The bad inputs -------------------------------------------------------------

void CutServiceTag(BadInputs& scene) {
    const std::string tag = ReadBytes(scene.Tag());
    WriteBytes(scene.Tag(), tag.substr(0, tag.size() / 2));
}

void Utf16ServiceTag(BadInputs& scene) {
    const std::string tag =
        Replaced(ReadBytes(scene.Tag()), "encoding=\"UTF-8\"", "encoding=\"UTF-16\"");
    std::string wide = "\xFF\xFE";  // the sample is ASCII: each byte, then a zero byte
    for (const char c : tag) {
        wide += c;
        wide += '\0';
    }
    WriteBytes(scene.Tag(), wide);
}

void ZeroPaddedServiceTag(BadInputs& scene) {
    WriteBytes(scene.Tag(), ReadBytes(scene.Tag()) + std::string(4, '\0'));
}

void EmptyServiceTag(BadInputs& scene) {
    WriteBytes(scene.Tag(), "");
}

void PageWithoutPlaceholders(BadInputs& scene) {
    scene.EditPage("value=\"WXYZ\"", "value=\"\"");
    scene.EditPage("value=\"TUVW\"", "value=\"\"");
}

void TagPlaceholderFirst(BadInputs& scene) {
    scene.EditPage("value=\"WXYZ\"", "value=\"TUVW\"");
    scene.EditPage("name=\"service_tag\" value=\"TUVW\"", "name=\"service_tag\" value=\"WXYZ\"");
}

void AlreadyMerged(BadInputs& scene) {
    const MSIHANDLE first = InstallerOpenSession();
    InstallerSetProperty(first, u"UpdateRegistration", Utf8ToUtf16(scene.Install().string() + "/"));
    ASSERT_EQ(0u, CAUpdateOfflineReg(first)) << "the first run";
    InstallerCloseSession(first);
}

void LargePage(BadInputs& scene) {
    std::string padding = "<!--\n";
    while (padding.size() < (8u << 20)) {
        padding += "A page of some megabytes: padding that holds no placeholder.\n";
    }
    scene.EditPage("<body>\n", "<body>\n" + padding + "-->\n");
}

void HugePage(BadInputs& scene) {
    // A sparse file: 4 GiB long, with no block written beyond the sample's.
    ASSERT_EQ(0, truncate(scene.Page().c_str(), 4ll << 30));
}

void ReadOnlyPage(BadInputs& scene) {
    ASSERT_EQ(0, chmod(scene.Page().c_str(), 0444));
    scene.RunAsWriter();
}

void HoldPageWithoutSharing(BadInputs& scene) {
    scene.HoldPage(GENERIC_READ, 0);
}

void HoldPageForReading(BadInputs& scene) {
    scene.HoldPage(GENERIC_READ, FILE_SHARE_READ);
}

void MissingDirectory(BadInputs& scene) {
    scene.SetInput((scene.Container() / "missing").string() + "/");
}

void EmptyInput(BadInputs& scene) {
    scene.SetInput("");
}

void NoInputDeferred(BadInputs& scene) {
    scene.ClearInput();
    scene.RunDeferred();
}

void NoTrailingSeparator(BadInputs& scene) {
    scene.SetInput(scene.Install().string());
}

void RelativeDestination(BadInputs& scene) {
    scene.SetDestination("reg/svctag?product=ostrel-desk&v=4.2");
}

void HttpDestination(BadInputs& scene) {
    scene.SetDestination("http://register.example.com/reg/svctag?product=ostrel-desk&v=4.2");
}

void OtherPortDestination(BadInputs& scene) {
    scene.SetDestination("https://register.example.com:8443/reg/svctag?product=ostrel-desk&v=4.2");
}

void EmptyDestination(BadInputs& scene) {
    scene.SetDestination("");
}

void ServiceUnreachable(BadInputs& scene) {
    scene.NetworkDown();
}

void ServiceVariant(BadInputs& scene, const char* variant) {
    ServiceOptions options;
    options.variant = variant;
    scene.Serve(options);
}
void Tls10Service(BadInputs& scene) {
    ServiceVariant(scene, "tls10");
}
void UntrustedService(BadInputs& scene) {
    ServiceVariant(scene, "untrusted");
}
void ExpiredService(BadInputs& scene) {
    ServiceVariant(scene, "expired");
}

void RedirectingService(BadInputs& scene) {
    ServiceOptions options;
    options.status = 302;
    options.redirect = "https://register.example.com/reg/elsewhere";
    scene.Serve(options);
}

void SlowService(BadInputs& scene) {
    ServiceOptions options;
    options.delaySeconds = 5;
    scene.Serve(options);
    SeamSetInternetTimeouts(60000, 1000);  // WinHTTP's 30 s receive time-out, shortened
}

void MalformedQuery(BadInputs& scene) {
    scene.SetInput("SELECT FROM Win32_Processor");
}

void LowerCaseQuery(BadInputs& scene) {
    scene.SetInput("SELECT * FROM win32_processor");
}

void UnknownClassQuery(BadInputs& scene) {
    scene.SetInput("SELECT * FROM Win32_NoSuchClass");
}

// ---- The table -----------------------------------------------------------------

const Lines kNoLine;
const Lines kLoadFailed = {"Error 0x8007006e: failed to load Service Tag file: <dir>svctag.xml",
                           "Error 0x8007006e: failed to get registryUrn"};
const Lines kTemplate1 = {
    "Error 0x80004005: <dir>register.htm is an invalid registration template 1.",
    "Error 0x80004005: failed to write offline registration file."};
const unsigned kPosted = kPageUnchanged | kTagPosted | kDestinationOpened;

const std::vector<Row>& ServiceTagRows() {
    static const std::vector<Row> rows = {
        {"Malformed `svctag.xml` (cut off in the middle)", "CAUpdateOfflineReg", CutServiceTag,
         kLoadFailed, 1603, kPageUnchanged | kNoFileLeft, ""},
        {"Malformed `svctag.xml` (cut off in the middle)", "CASendServiceTag", CutServiceTag,
         kNoLine, 0, kPosted,
         "It does not read the service tag as XML: the bytes go to the service as they are, and "
         "the service's answer decides (here 200)."},
        {"`svctag.xml` in UTF-16 (with its byte order mark)",
         "CAUpdateOfflineReg",
         Utf16ServiceTag,
         {"Error 0x8007000d: service tag has a zero byte at offset 3; save svctag.xml as UTF-8",
          "Error 0x8007000d: failed to encode service tag."},
         1603,
         kPageUnchanged | kNoFileLeft,
         "The URN is read, but the page can hold the service tag only up to a zero byte, and "
         "UTF-16 has one in nearly every character (the first at offset 3, after FF FE 3C): the "
         "action refuses rather than merge a cut tag, so the placeholders stay for a run with "
         "`svctag.xml` saved as UTF-8."},
        {"`svctag.xml` in UTF-16 (with its byte order mark)", "CASendServiceTag", Utf16ServiceTag,
         kNoLine, 0, kPosted,
         "The bytes are posted as they are, although the request says `charset=utf-8`."},
        {"`svctag.xml` ending in zero bytes", "CAUpdateOfflineReg", ZeroPaddedServiceTag, kNoLine,
         0, kPageTagCut | kNoFileLeft,
         "Zero bytes that only pad the end lose nothing: the bytes before them are merged."},
        {"`svctag.xml` ending in zero bytes", "CASendServiceTag", ZeroPaddedServiceTag, kNoLine, 0,
         kPosted, "The bytes are posted whole, the zero bytes with them."},
        {"Empty `svctag.xml` (0 bytes)", "CAUpdateOfflineReg", EmptyServiceTag, kLoadFailed, 1603,
         kPageUnchanged | kNoFileLeft, ""},
        {"Empty `svctag.xml` (0 bytes)", "CASendServiceTag", EmptyServiceTag, kNoLine, 0, kPosted,
         "A POST of 0 bytes; the service's answer decides (here 200)."},
    };
    return rows;
}

const std::vector<Row>& PageRows() {
    static const std::vector<Row> rows = {
        {"`register.htm` without the placeholders", "CAUpdateOfflineReg", PageWithoutPlaceholders,
         kTemplate1, 1603, kPageUnchanged | kNoFileLeft,
         "0x80004005: a search that finds nothing has no error of its own."},
        {"`register.htm` without the placeholders", "CASendServiceTag", PageWithoutPlaceholders,
         kNoLine, 0, kPosted, "It reads only the form `action`."},
        {"`register.htm` with \"TUVW\" only before \"WXYZ\"",
         "CAUpdateOfflineReg",
         TagPlaceholderFirst,
         {"Error 0x80004005: <dir>register.htm is an invalid registration template 2.",
          "Error 0x80004005: failed to write offline registration file."},
         1603,
         kPageUnchanged | kNoFileLeft,
         ""},
        {"`register.htm` already merged (a second run)", "CAUpdateOfflineReg", AlreadyMerged,
         kTemplate1, 1603, kPageUnchanged | kNoFileLeft,
         "The first run used up the placeholders; the page stays as it wrote it. Schedule the "
         "action on the first install only (`NOT Installed`)."},
        {"`register.htm` already merged (a second run)", "CASendServiceTag", AlreadyMerged, kNoLine,
         0, kPosted, ""},
        {"`register.htm` of 8 MiB", "CAUpdateOfflineReg", LargePage, kNoLine, 0,
         kPageMerged | kNoFileLeft, ""},
        {"`register.htm` of 8 MiB", "CASendServiceTag", LargePage, kNoLine, 0, kPosted, ""},
        {"`register.htm` of 4 GiB or more",
         "CAUpdateOfflineReg",
         HugePage,
         {"Error 0x8007007a: failed to read offline reg contents.",
          "Error 0x8007007a: failed to write offline registration file."},
         1603,
         kPageUnchanged | kNoFileLeft,
         "The size is checked before anything is read (the test's page is a sparse file). A "
         "smaller page whose merged form would pass 4 GiB is refused by the merge before anything "
         "is written, with 0x80070216 `failed to reallocate additional buffer`; a 32-bit "
         "installer process has no room for such a page anyway."},
        {"`register.htm` of 4 GiB or more",
         "CASendServiceTag",
         HugePage,
         {"Error 0x8007007a: failed to read offline reg contents.",
          "Error 0x8007007a: failed to get payload destination"},
         1603,
         kPageUnchanged | kNothingPosted | kNoBrowser,
         ""},
        {"Read-only `register.htm`",
         "CAUpdateOfflineReg",
         ReadOnlyPage,
         {"Error 0x80070005: Failed to open file: <dir>register.htm",
          "Error 0x80070005: failed to write offline registration file",
          "Error 0x80070005: failed to write offline registration file."},
         1603,
         kPageUnchanged | kNoFileLeft,
         "Windows refuses to open a read-only file for writing, also to an administrator. The test "
         "runs the action as an unprivileged user: root on Linux is not held to a file's mode."},
        {"Read-only `register.htm`", "CASendServiceTag", ReadOnlyPage, kNoLine, 0, kPosted,
         "It only reads the page."},
        {"`register.htm` held open by another process, without sharing",
         "CAUpdateOfflineReg",
         HoldPageWithoutSharing,
         {"Error 0x80070020: failed to read offline reg contents.",
          "Error 0x80070020: failed to write offline registration file."},
         1603,
         kPageUnchanged | kNoFileLeft,
         "0x80070020 is ERROR_SHARING_VIOLATION, which Windows gives while another process holds "
         "the page. The Linux build's file layer sees only its own process's handles, so the test "
         "holds the page open through that layer's CreateFileW."},
        {"`register.htm` held open by another process, without sharing",
         "CASendServiceTag",
         HoldPageWithoutSharing,
         {"Error 0x80070020: failed to read offline reg contents.",
          "Error 0x80070020: failed to get payload destination"},
         1603,
         kPageUnchanged | kNothingPosted | kNoBrowser,
         ""},
        {"`register.htm` held open by another process that shares it for reading only",
         "CAUpdateOfflineReg",
         HoldPageForReading,
         {"Error 0x80070020: Failed to open file: <dir>register.htm",
          "Error 0x80070020: failed to write offline registration file",
          "Error 0x80070020: failed to write offline registration file."},
         1603,
         kPageUnchanged | kNoFileLeft,
         "The page is read, but writing it needs it to itself."},
        {"`register.htm` held open by another process that shares it for reading only",
         "CASendServiceTag", HoldPageForReading, kNoLine, 0, kPosted, ""},
    };
    return rows;
}

const std::vector<Row>& DirectoryRows() {
    static const std::vector<Row> rows = {
        {"Installation directory that does not exist", "CAUpdateOfflineReg", MissingDirectory,
         kLoadFailed, 1603, kNoFileLeft, "Nothing is created."},
        {"Installation directory that does not exist",
         "CASendServiceTag",
         MissingDirectory,
         {"Error 0x80070003: failed to read offline reg contents.",
          "Error 0x80070003: failed to get payload destination"},
         1603,
         kNoFileLeft | kNothingPosted | kNoBrowser,
         ""},
        {"No installation directory (its property empty, which to the installer is not set)",
         "CAUpdateOfflineReg",
         EmptyInput,
         {"Error 0x80070057: failed to get PROPERTY value for UpdateRegistration",
          "Error 0x80070057: failed to get install path"},
         1603,
         kPageUnchanged | kNoFileLeft,
         ""},
        {"No installation directory (deferred, no `CustomActionData`)",
         "CAUpdateOfflineReg",
         NoInputDeferred,
         {"Error 0x80070057: failed to get PROPERTY value for CustomActionData",
          "Error 0x80070057: failed to get install path"},
         1603,
         kPageUnchanged | kNoFileLeft,
         ""},
        {"No installation directory (its property empty, which to the installer is not set)",
         "CASendServiceTag",
         EmptyInput,
         {"Error 0x80070057: failed to get PROPERTY value for PostRegistration",
          "Error 0x80070057: failed to get PostRegistration PROPERTY."},
         1603,
         kPageUnchanged | kNothingPosted | kNoBrowser,
         ""},
        {"Installation directory without the trailing backslash", "CAUpdateOfflineReg",
         NoTrailingSeparator, kLoadFailed, 1603, kPageUnchanged | kNoFileLeft,
         "The file names are appended without a separator: `C:\\App` gives `C:\\Appsvctag.xml`."},
        {"Installation directory without the trailing backslash",
         "CASendServiceTag",
         NoTrailingSeparator,
         {"Error 0x80070002: failed to read offline reg contents.",
          "Error 0x80070002: failed to get payload destination"},
         1603,
         kPageUnchanged | kNothingPosted | kNoBrowser,
         ""},
    };
    return rows;
}

const std::vector<Row>& DestinationRows() {
    static const std::vector<Row> rows = {
        {"Relative destination (`action=\"reg/svctag?...\"`)",
         "CASendServiceTag",
         RelativeDestination,
         {"Error 0x80072ee6: failed to crack URL."},
         1603,
         kPageUnchanged | kNothingPosted | kLocalPageOpened,
         "0x80072ee6 is ERROR_WINHTTP_UNRECOGNIZED_SCHEME."},
        {"http destination (`action=\"http://...\"`)", "CASendServiceTag", HttpDestination, kNoLine,
         0, kPosted,
         "Posted with TLS to port 443 all the same; the browser then gets the http address as the "
         "page names it."},
        {"Destination on another port (`https://host:8443/...`)", "CASendServiceTag",
         OtherPortDestination, kNoLine, 0, kPosted,
         "Posted to port 443 all the same; the browser gets the address with its port."},
        {"Empty destination (`action=\"\"`)",
         "CASendServiceTag",
         EmptyDestination,
         {"Error 0x80072ee6: failed to crack URL."},
         1603,
         kPageUnchanged | kNothingPosted | kLocalPageOpened,
         ""},
    };
    return rows;
}

const std::vector<Row>& NetworkRows() {
    static const std::vector<Row> rows = {
        {"Network down (nothing answers at the service's address)",
         "CASendServiceTag",
         ServiceUnreachable,
         {"Error 0x80072efd: failed to send request."},
         1603,
         kPageUnchanged | kLocalPageOpened,
         "0x80072efd is ERROR_WINHTTP_CANNOT_CONNECT; the test sends the service's host to a port "
         "of 127.0.0.1 that nothing listens on."},
        {"Service that speaks only TLS 1.0",
         "CASendServiceTag",
         Tls10Service,
         {"Error 0x80072f8f: failed to send request."},
         1603,
         kPageUnchanged | kNothingPosted | kLocalPageOpened,
         "The upload allows TLS 1.2 and 1.3 only. The Linux build gives 0x80072f8f "
         "(ERROR_WINHTTP_SECURE_FAILURE, 12175): libcurl reports a handshake without a common "
         "version as it reports any failed handshake. WinHTTP on Windows gives 0x80072f7d "
         "(ERROR_WINHTTP_SECURE_CHANNEL_ERROR, 12157) when no version is in common."},
        {"Service with an untrusted certificate",
         "CASendServiceTag",
         UntrustedService,
         {"Error 0x80072f8f: failed to send request."},
         1603,
         kPageUnchanged | kNothingPosted | kLocalPageOpened,
         ""},
        {"Service with an expired certificate",
         "CASendServiceTag",
         ExpiredService,
         {"Error 0x80072f8f: failed to send request."},
         1603,
         kPageUnchanged | kNothingPosted | kLocalPageOpened,
         ""},
        {"Service that answers with a redirection (302)", "CASendServiceTag", RedirectingService,
         kNoLine, 1603, kPageUnchanged | kTagPosted | kLocalPageOpened,
         "Any status but 200 is a failure without a line. The Linux build does not follow the "
         "redirection; WinHTTP on Windows follows it by itself (not from https to http), and the "
         "final answer decides."},
        {"Slow service (no answer in time)", "CASendServiceTag", SlowService, kNoLine, 1603,
         kPageUnchanged | kTagPosted | kLocalPageOpened,
         "A failure without a line. WinHTTP waits 30 s for the answer; the test shortens that to "
         "1 s through the Linux WinHTTP's time-out seam, against a service that waits 5 s. The "
         "service has the service tag although the action counts the post as failed: the user "
         "may register a second time on the local page."},
    };
    return rows;
}

const std::vector<Row>& WqlRows() {
    static const std::vector<Row> rows = {
        {"Malformed WQL (`SELECT FROM Win32_Processor`)",
         "CAQueryWMI",
         MalformedQuery,
         {"Error 0x80041017: Could not query WMI"},
         1603,
         kNoProperty,
         "0x80041017 is WBEM_E_INVALID_QUERY."},
        {"Lower-case WQL class (`SELECT * FROM win32_processor`)",
         "CAQueryWMI",
         LowerCaseQuery,
         {"Error 0x80070057: Query must contain a Win32 table name."},
         1603,
         kNoProperty | kNotQueried,
         "WQL ignores case, but the action takes the table name from behind \"Win32_\" spelt "
         "exactly so."},
        {"WQL naming an unknown class (`SELECT * FROM Win32_NoSuchClass`)",
         "CAQueryWMI",
         UnknownClassQuery,
         {"query results ended with error 0x80041010"},
         0,
         kNoProperty,
         "WMI reports the class at the first row (0x80041010 is WBEM_E_INVALID_CLASS). Inventory "
         "never fails an install: the action writes the error, which tells a misspelt class from "
         "a machine without one, and returns 0; the rows before an error keep their properties."},
    };
    return rows;
}

// The Cancel rule: one row of the table, checked for every message of each action.
const char kCancelInput[] = "Cancel answered to any message (a failure line or progress)";
const char kCancelAction[] = "all five";
const char kCancelLines[] = "those of the run without the cancel";
const char kCancelExit[] = "1602";
const char kCancelKept[] =
    "page, post, browser and properties as without the cancel: a cancel changes only the exit "
    "code";
const char kCancelNote[] =
    "The action does not stop at a cancelled message. `CAUpdateOfflineReg` sends its progress "
    "message after the page is written, so a cancel there leaves the page merged; "
    "`CAQueryWMI` sends its after the properties are set.";

std::string TableCell(const std::string& text) {
    return Replaced(text, "|", "\\|");
}

std::string KeptCell(unsigned kept) {
    std::string text;
    for (const KeptText& entry : kKeptTexts) {
        if (kept & entry.flag) {
            text += (text.empty() ? "" : ", ") + std::string(entry.text);
        }
    }
    return text;
}

std::string RenderRow(const Row& row) {
    std::string lines;
    for (const std::string& line : row.lines) {
        lines += (lines.empty() ? "`" : "<br>`") + line + "`";
    }
    return "| " + TableCell(row.input) + " | `" + row.action + "` | " +
           TableCell(lines.empty() ? "none" : lines) + " | " + std::to_string(row.exit) + " | " +
           KeptCell(row.kept) + " | " + TableCell(row.note) + " |\n";
}

std::string RenderTable() {
    std::string table =
        "| Bad input | Action | Lines in the installer log | Exit code | After the run | Notes |\n"
        "|---|---|---|---|---|---|\n";
    for (const auto* rows : {&ServiceTagRows(), &PageRows(), &DirectoryRows(), &DestinationRows(),
                             &NetworkRows(), &WqlRows()}) {
        for (const Row& row : *rows) {
            table += RenderRow(row);
        }
    }
    table += std::string("| ") + kCancelInput + " | " + kCancelAction + " | " + kCancelLines +
             " | " + kCancelExit + " | " + kCancelKept + " | " + kCancelNote + " |\n";
    return table;
}

// The README's table: the lines between its two markers.
constexpr char kTableStart[] =
    "<!-- The rows of this table are those of tests/unit/posix/bad_inputs_test.cpp, which "
    "compares them with its own: change both together. -->";
constexpr char kTableEnd[] = "<!-- End of the bad-input table. -->";

// ---- The tests -----------------------------------------------------------------

TEST_F(BadInputs, ServiceTag) {
    for (const Row& row : ServiceTagRows()) {
        CheckRow(row);
    }
}

TEST_F(BadInputs, Page) {
    for (const Row& row : PageRows()) {
        CheckRow(row);
    }
}

TEST_F(BadInputs, InstallationDirectory) {
    for (const Row& row : DirectoryRows()) {
        CheckRow(row);
    }
}

TEST_F(BadInputs, Destination) {
    for (const Row& row : DestinationRows()) {
        CheckRow(row);
    }
}

TEST_F(BadInputs, Network) {
    for (const Row& row : NetworkRows()) {
        CheckRow(row);
    }
}

TEST_F(BadInputs, Wql) {
    for (const Row& row : WqlRows()) {
        CheckRow(row);
    }
}

// The merge's size check, which no test can reach through a real page: the page is
// claimed to be just under 4 GiB, so that the merged page would not fit 32 bits.
TEST_F(BadInputs, MergeRefusesAPageWhoseMergedFormPassesFourGiB) {
    ASSERT_EQ(S_OK, ActionBegin(install_, "CAUpdateOfflineReg"));
    BYTE* page = static_cast<BYTE*>(HeapAlloc(GetProcessHeap(), 0, 16));
    ASSERT_NE(nullptr, page);
    DWORD size = 0xFFFFFFF0u;
    const std::string tag(100, 'x');
    EXPECT_EQ(static_cast<HRESULT>(0x80070216),
              FillRegistrationPage(u"register.htm", &page, &size, u"urn:st:x", 8, tag.c_str(),
                                   static_cast<DWORD>(tag.size())));
    EXPECT_EQ(0xFFFFFFF0u, size);
    HeapFree(GetProcessHeap(), 0, page);
    ActionEnd(0);
    EXPECT_EQ(
        Lines{"CAUpdateOfflineReg:  Error 0x80070216: failed to reallocate additional buffer"},
        InfoLines());
}

// Each action's messages answered with Cancel in turn, on runs that send some: a
// property that cannot be set for the stamp actions, successful runs (progress) and
// failing ones (failure lines) for the others.
TEST_F(BadInputs, CancelAtAnyMessage) {
    struct Scenario {
        const char* action;
        const char* run;
        Arrange arrange;
    };
    const Scenario scenarios[] = {
        {"CASetRegDateTime", "a property that cannot be set",
         [](BadInputs&) { SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE); }},
        {"CACreateURN", "a property that cannot be set",
         [](BadInputs&) { SeamFailNthCall("MsiSetPropertyW", 1, ERROR_INVALID_HANDLE); }},
        {"CAQueryWMI", "immediate", nullptr},
        {"CAQueryWMI", "deferred", [](BadInputs& scene) { scene.RunDeferred(); }},
        {"CAQueryWMI", "lower-case class", LowerCaseQuery},
        {"CAUpdateOfflineReg", "immediate", nullptr},
        {"CAUpdateOfflineReg", "deferred", [](BadInputs& scene) { scene.RunDeferred(); }},
        {"CAUpdateOfflineReg", "already merged", AlreadyMerged},
        {"CASendServiceTag", "network down", ServiceUnreachable},
        {"CASendServiceTag", "page held open", HoldPageWithoutSharing},
    };
    for (const Scenario& scenario : scenarios) {
        SCOPED_TRACE(std::string(scenario.action) + ", " + scenario.run);
        // The cancelled runs come first, progress before lines: a deferred action
        // announces explicit progress only until the installer has accepted that once
        // in the process, so only the first deferred run can have it cancelled.
        std::vector<RunResult> cancelled;
        for (const INSTALLMESSAGE type : {INSTALLMESSAGE_PROGRESS, INSTALLMESSAGE_INFO}) {
            for (unsigned nth = 1;; ++nth) {
                RunResult result = Run(scenario.action, scenario.arrange, [=](MSIHANDLE session) {
                    InstallerScriptAnswer(session, type, nth, IDCANCEL);
                });
                ASSERT_FALSE(HasFatalFailure());
                const size_t sent =
                    type == INSTALLMESSAGE_INFO ? result.infoMessages : result.progressMessages;
                if (sent < nth) {
                    break;
                }
                cancelled.push_back(result);
            }
        }
        const RunResult plain = Run(scenario.action, scenario.arrange);
        ASSERT_FALSE(HasFatalFailure());
        EXPECT_FALSE(cancelled.empty()) << "no message to cancel";
        for (const RunResult& result : cancelled) {
            EXPECT_EQ(1602u, result.exit);
            EXPECT_EQ(plain.lines, result.lines);
            EXPECT_TRUE(plain.pageAfter == result.pageAfter) << "the page differs";
            EXPECT_EQ(plain.opened, result.opened);
            EXPECT_EQ(plain.changed, result.changed);
            EXPECT_EQ(plain.postsAfter - plain.postsBefore, result.postsAfter - result.postsBefore);
        }
    }
}

TEST_F(BadInputs, ReadmeTableIsTheTestsTable) {
    const std::string table = RenderTable();
    if (std::getenv("OSTREL_PRINT_BAD_INPUTS_TABLE") != nullptr) {
        std::cout << table;
    }
    const std::string readme = ReadBytes(fs::path(OSTREL_SOURCE_DIR) / "README.md");
    const size_t start = readme.find(kTableStart);
    ASSERT_NE(std::string::npos, start) << "README.md lacks the marker " << kTableStart;
    const size_t first = readme.find('\n', start) + 1;
    const size_t end = readme.find(kTableEnd, first);
    ASSERT_NE(std::string::npos, end) << "README.md lacks the marker " << kTableEnd;
    // A blank line on each side keeps the markers apart from the table.
    EXPECT_EQ("\n" + table + "\n", readme.substr(first, end - first));
}

}  // namespace
