// Encrypted files: EncryptFileW and DecryptFileW keep the content readable to its owner, and the
// raw functions move an encrypted file out and into a new one as it is.
#include "../framework/support.h"

#include <algorithm>
#include <cstring>
#include <string>

using namespace conformance;

namespace {

DWORD WINAPI collect(PBYTE data, PVOID context, ULONG length)
{
    static_cast<std::string *>(context)->append(reinterpret_cast<const char *>(data), length);
    return ERROR_SUCCESS;
}

struct Feed {
    const std::string *data;
    size_t at = 0;
};

DWORD WINAPI feed(PBYTE data, PVOID context, PULONG length)
{
    auto *source = static_cast<Feed *>(context);
    // In small pieces, as a backup application hands over what it reads.
    const size_t piece = std::min<size_t>({size_t{*length}, source->data->size() - source->at, size_t{1000}});
    memcpy(data, source->data->data() + source->at, piece);
    source->at += piece;
    *length = static_cast<ULONG>(piece);
    return ERROR_SUCCESS;
}

}  // namespace

CHECK(encryption, an_encrypted_file_says_so_and_decrypts_to_its_content)
{
    const WString file = check.path(TEXT("secret.txt"));
    ASSERT_TRUE(writeFile(file, "confidential"));
    ASSERT_SUCCEEDS(EncryptFileW(file.c_str()));
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, static_cast<DWORD>(FILE_ATTRIBUTE_ENCRYPTED));
    ASSERT_SUCCEEDS(DecryptFileW(file.c_str(), 0));
    EXPECT_EQ(GetFileAttributesW(file.c_str()) & FILE_ATTRIBUTE_ENCRYPTED, 0u);
    std::string content;
    EXPECT_TRUE(readFile(file, content));
    EXPECT_EQ(content, std::string("confidential"));
}

CHECK(encryption, its_owner_reads_an_encrypted_file_as_plain_data)
{
    const WString file = check.path(TEXT("secret.txt"));
    ASSERT_TRUE(writeFile(file, "confidential"));
    ASSERT_SUCCEEDS(EncryptFileW(file.c_str()));
    std::string content;
    EXPECT_TRUE(readFile(file, content));
    EXPECT_EQ(content, std::string("confidential"));
}

CHECK(encryption, a_raw_export_imports_into_a_new_encrypted_file)
{
    const WString source = check.path(TEXT("source.txt"));
    std::string plain(5000, 'p');
    ASSERT_TRUE(writeFile(source, plain));
    ASSERT_SUCCEEDS(EncryptFileW(source.c_str()));

    PVOID context = nullptr;
    ASSERT_EQ(OpenEncryptedFileRawW(source.c_str(), 0, &context), static_cast<DWORD>(ERROR_SUCCESS));
    std::string raw;
    EXPECT_EQ(ReadEncryptedFileRaw(collect, &raw, context), static_cast<DWORD>(ERROR_SUCCESS));
    CloseEncryptedFileRaw(context);
    ASSERT_TRUE(!raw.empty());
    EXPECT_TRUE(raw.find(plain) == std::string::npos);  // ciphertext, not the content

    const WString target = check.path(TEXT("target.txt"));
    ASSERT_EQ(OpenEncryptedFileRawW(target.c_str(), CREATE_FOR_IMPORT, &context), static_cast<DWORD>(ERROR_SUCCESS));
    Feed input{&raw};
    EXPECT_EQ(WriteEncryptedFileRaw(feed, &input, context), static_cast<DWORD>(ERROR_SUCCESS));
    CloseEncryptedFileRaw(context);
    EXPECT_EQ(GetFileAttributesW(target.c_str()) & FILE_ATTRIBUTE_ENCRYPTED,
              static_cast<DWORD>(FILE_ATTRIBUTE_ENCRYPTED));
    EXPECT_SUCCEEDS(DecryptFileW(target.c_str(), 0));
    std::string restored;
    EXPECT_TRUE(readFile(target, restored));
    EXPECT_TRUE(restored == plain);
}

CHECK(encryption, a_raw_open_of_a_missing_file_fails)
{
    PVOID context = nullptr;
    EXPECT_EQ(OpenEncryptedFileRawW(check.path(TEXT("missing.txt")).c_str(), 0, &context),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}
