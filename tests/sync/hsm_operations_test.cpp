// The HSM operations of the synchronization against a real emulator: block,
// unblock and removal of one user, user creation with its derived password,
// and the addb write, backup and read. Each operation is checked for its log
// lines, the HSM's state afterwards, and its session discipline.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "directory/logon_id.h"
#include "hsm/addb.h"
#include "hsm/user_creation.h"
#include "hsm/user_operations.h"
#include "hsm_queries.h"
#include "sync_test_support.h"

namespace {

using namespace synctest;
using kvtest::kMasterPassword;

class HsmOperations : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(library_.code(), KV_OK);
    std::string error;
    server_ = kvtest::sharedServer(error);
    ASSERT_NE(server_, nullptr) << error;
    folder_.writeHsmSettings(server_->host(), "master", kMasterPassword);
  }
  // A fresh identifier of the managed form.
  static std::string newId() { return convertLogonToHsmUserId(kvtest::uniqueName('u')); }

  kvtest::LibraryScope library_;
  HsmServer* server_ = nullptr;
  ServiceFolder folder_;
};

TEST_F(HsmOperations, BlockAndUnblockChangeTheUserAndLogTheirOutcome) {
  const std::string id = newId();
  ASSERT_EQ(createByHand(*server_, id, "senha-1"), KV_OK);

  SessionWindow block(*server_);
  EXPECT_TRUE(setHsmUserBlocked(true, id));
  EXPECT_EQ(block.loginsSince(), 1u);
  EXPECT_EQ(tryLogin(*server_, id, "senha-1"), KV_ERR_LOGIN_REFUSED);

  SessionWindow unblock(*server_);
  EXPECT_TRUE(setHsmUserBlocked(false, id));
  EXPECT_EQ(unblock.loginsSince(), 1u);
  EXPECT_EQ(tryLogin(*server_, id, "senha-1"), KV_OK);
  // Unblocking a user who is not blocked is still a request, and logged.
  EXPECT_TRUE(setHsmUserBlocked(false, id));

  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].label, "Info");
  EXPECT_EQ(lines[0].message, "O usuario [" + id + "] foi bloqueado no HSM/Tessel");
  EXPECT_EQ(lines[1].message, "O usuario [" + id + "] foi desbloqueado no HSM/Tessel");
  EXPECT_EQ(lines[2].message, lines[1].message);
}

TEST_F(HsmOperations, ARefusedBlockRequestIsNamedWithItsCodeAndClosesItsSession) {
  SessionWindow window(*server_);
  const std::string id = newId();
  EXPECT_FALSE(setHsmUserBlocked(true, id));  // no such user
  EXPECT_EQ(window.loginsSince(), 1u);
  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "Atencao");
  EXPECT_EQ(lines[0].message.rfind("O bloqueio do usuario [" + id + "] no HSM/Tessel nao foi feito. Codigo ", 0), 0u);
}

TEST_F(HsmOperations, RemovalDeletesTheUserAndReportsARefusalWithItsCode) {
  const std::string id = newId();
  ASSERT_EQ(createByHand(*server_, id, "senha-2"), KV_OK);
  SessionWindow window(*server_);
  EXPECT_TRUE(removeSyncedUser(id));
  EXPECT_FALSE(hasUser(*server_, id));
  SessionWindow again(*server_);
  EXPECT_FALSE(removeSyncedUser(id));
  EXPECT_EQ(again.loginsSince(), 1u);

  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].label, "Info");
  EXPECT_EQ(lines[0].message,
            "O usuario [" + id + "] foi removido do HSM/Tessel. Essa operacao nao poderah ser desfeita");
  EXPECT_EQ(lines[1].label, "Erro");
  EXPECT_EQ(lines[1].message, "Nao foi possivel remover o usuario [" + id +
                                  "] do HSM/Tessel. Procure o atendimento de Suporte. Codigo " +
                                  std::to_string(KV_ERR_NO_SUCH_USER) + ".");
}

TEST_F(HsmOperations, CreationUsesTheDerivedPasswordAndNeverLogsIt) {
  const std::string id = newId();
  const std::string name = "Jo\xE3o da Silva";  // a byte above 0x7F, as narrowing gives it
  SessionWindow window(*server_);
  EXPECT_EQ(createSyncedUser(GroupMember{"joao", name, id}), CreationResult::Created);
  EXPECT_EQ(window.loginsSince(), 1u);
  const std::string password = initialHsmPassword(id);
  EXPECT_EQ(tryLogin(*server_, id, password), KV_OK);

  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "Info");
  EXPECT_EQ(lines[0].message, "Usuario criado no HSM/Tessel [" + name + "] [" + id + "]");
  std::string logText;
  for (const auto& line : lines) logText += line.message;
  EXPECT_EQ(logText.find(password), std::string::npos);
}

TEST_F(HsmOperations, CreatingAnExistingUserUnblocksItAndKeepsItsPassword) {
  const std::string id = newId();
  ASSERT_EQ(createByHand(*server_, id, "senha-propria"), KV_OK);
  ASSERT_EQ(blockByHand(*server_, id), KV_OK);
  SessionWindow window(*server_);
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Fulano", id}), CreationResult::Unblocked);
  EXPECT_EQ(window.loginsSince(), 2u);  // the creation's session and the unblock's
  EXPECT_EQ(tryLogin(*server_, id, "senha-propria"), KV_OK);

  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].label, "Atencao");
  EXPECT_EQ(lines[0].message, "O usuario [Fulano] [" + id + "] jah existe dentro do HSM/Tessel");
  EXPECT_EQ(lines[1].message, "O usuario [" + id + "] foi desbloqueado no HSM/Tessel");
}

TEST_F(HsmOperations, CreationRefusalsAreReportedWithTheirCodes) {
  SessionWindow window(*server_);
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Invalido", "0abc"}), CreationResult::Failed);  // the HSM refuses names not starting with a letter
  EXPECT_EQ(window.loginsSince(), 1u);
  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "Erro");
  EXPECT_EQ(lines[0].message, "ID do usuario [Invalido] [0abc] invalido para o HSM/Tessel");

  // A session user that may not create users.
  folder_.clearLog();
  folder_.writeHsmSettings(server_->host(), kvtest::kPlainUser, kvtest::kPlainPassword);
  const std::string id = newId();
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Sem Permissao", id}), CreationResult::Failed);
  EXPECT_FALSE(hasUser(*server_, id));
  EXPECT_EQ(folder_.messages(),
            std::vector<std::string>{"Nao foi possivel criar o usuario no HSM/Tessel [Sem Permissao] [" + id +
                                     "] codigo " + std::to_string(KV_ERR_ACCESS_DENIED)});
}

TEST_F(HsmOperations, AnUnreachableHsmIsReportedByEachOperation) {
  const std::string closed = "127.0.0.1:" + std::to_string(kvtest::closedPort());
  folder_.writeHsmSettings(closed, "master", kMasterPassword);
  const std::string id = newId();
  const std::string code = std::to_string(KV_ERR_CONNECTION_REFUSED);
  EXPECT_FALSE(setHsmUserBlocked(false, id));
  EXPECT_FALSE(removeSyncedUser(id));
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Ninguem", id}), CreationResult::Failed);
  EXPECT_FALSE(writeAddb({GroupMember{"x", "Ninguem", id}}));
  MemberList members;
  EXPECT_FALSE(readAddb(members));  // silent
  const std::vector<std::string> expected = {
      "Nao foi possivel fazer a operacao de desbloqueio do usuario. Procure o atendimento de Suporte. Codigo " + code + ".",
      "O desbloqueio do usuario [" + id + "] no HSM/Tessel nao foi feito. Codigo " + code,
      "Nao foi possivel remover o usuario [" + id + "] do HSM/Tessel. Procure o atendimento de Suporte. Codigo " + code + ".",
      "Nao foi possivel conectar com o HSM/Tessel. Procure o atendimento de Suporte. Codigo " + code + ".",
      "Nao foi possivel fazer o backup interno 'addb'. Procure o atendimento de Suporte. Codigo " + code + ".",
  };
  EXPECT_EQ(folder_.messages(), expected);
  for (const auto& line : folder_.lines()) EXPECT_EQ(line.label, line.message[0] == 'O' ? "Atencao" : "Erro");
}

TEST_F(HsmOperations, IncompleteSettingsMeanNoHsmContactAndNoLine) {
  folder_.writeHsmSettings(server_->host(), "master", "");
  const std::string id = newId();
  ASSERT_EQ(createByHand(*server_, id, "senha-3"), KV_OK);
  SessionWindow window(*server_);
  EXPECT_FALSE(setHsmUserBlocked(true, id));
  EXPECT_FALSE(removeSyncedUser(id));
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Nome", newId()}), CreationResult::Failed);
  EXPECT_EQ(window.loginsSince(), 0u);
  EXPECT_TRUE(folder_.lines().empty());
  EXPECT_EQ(tryLogin(*server_, id, "senha-3"), KV_OK);
}

TEST_F(HsmOperations, AnIdentifierLongerThanTheHsmFieldIsRefusedBeforeAnyCall) {
  const std::string longId = "A0123456789abcdef";  // 17 bytes
  SessionWindow window(*server_);
  EXPECT_FALSE(setHsmUserBlocked(true, longId));
  EXPECT_FALSE(removeSyncedUser(longId));
  EXPECT_EQ(createSyncedUser(GroupMember{"x", "Longo", longId}), CreationResult::Failed);
  EXPECT_EQ(window.loginsSince(), 0u);
  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const auto& line : lines) {
    EXPECT_EQ(line.label, "Erro");
    EXPECT_NE(line.message.find("[" + longId + "]"), std::string::npos) << line.message;
    EXPECT_NE(line.message.find("16"), std::string::npos) << line.message;
  }
  // 16 bytes still reach the HSM (which has no such user).
  SessionWindow sixteen(*server_);
  EXPECT_FALSE(setHsmUserBlocked(true, "A0123456789abcde"));
  EXPECT_EQ(sixteen.loginsSince(), 1u);
}

// ---- addb -------------------------------------------------------------------

class AddbOnHsm : public HsmOperations {
 protected:
  void SetUp() override {
    HsmOperations::SetUp();
    if (HasFatalFailure()) return;
    removeAddbAccountObject(*server_, kAddbObject);
    removeAddbAccountObject(*server_, kAddbBackupObject);
  }
  std::string stored(const std::string& name) {
    std::string text;
    const int32_t code = readObject(*server_, std::string(kAddbAccount) + "/" + name, text);
    return code == KV_OK ? text : codeText(code);
  }
  // Stands for "no object", with the read's code.
  static std::string codeText(int32_t code) {
    std::string text = std::to_string(code);
    text.insert(text.begin(), '<');
    text.push_back('>');
    return text;
  }
  const std::string missing = codeText(KV_ERR_OBJECT_NOT_FOUND);
};

TEST_F(AddbOnHsm, TheFirstSaveWritesTheListAndTheNextKeepsTheOldOneAsBackup) {
  const MemberList first = {GroupMember{"ana", "Ana", "A0123456789abcd"}, GroupMember{"", "", ""}};
  const MemberList second = {GroupMember{"bia", "Bia \xC9", "Afedcba98765432"}};

  SessionWindow write1(*server_);
  EXPECT_TRUE(writeAddb(first));
  EXPECT_EQ(write1.loginsSince(), 2u);  // backup session and write session
  EXPECT_EQ(stored(kAddbObject), "A0123456789abcd\r\nana\r\nAna\r\n\r\n\r\n\r\n");
  EXPECT_EQ(stored(kAddbBackupObject), missing);
  EXPECT_EQ(folder_.lines().size(), 1u);
  EXPECT_EQ(labelOf(folder_.lines(), "Backup de 'addb' realizado com sucesso"), "Console");

  EXPECT_TRUE(writeAddb(second));
  EXPECT_EQ(stored(kAddbObject), "Afedcba98765432\r\nbia\r\nBia \xC9\r\n");
  EXPECT_EQ(stored(kAddbBackupObject), "A0123456789abcd\r\nana\r\nAna\r\n\r\n\r\n\r\n");

  MemberList read = {GroupMember{"ja", "estava", "aqui"}};
  SessionWindow readWindow(*server_);
  EXPECT_TRUE(readAddb(read));
  EXPECT_EQ(readWindow.loginsSince(), 1u);
  ASSERT_EQ(read.size(), 2u);  // appended to what the list held
  EXPECT_EQ(read[1], second[0]);
}

TEST_F(AddbOnHsm, AnEmptyListTouchesNothing) {
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, "velho\r\n\r\n\r\n"), KV_OK);
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbBackupObject, "mais velho\r\n\r\n\r\n"), KV_OK);
  SessionWindow window(*server_);
  EXPECT_FALSE(writeAddb({}));
  EXPECT_EQ(window.loginsSince(), 0u);
  EXPECT_EQ(stored(kAddbObject), "velho\r\n\r\n\r\n");
  EXPECT_EQ(stored(kAddbBackupObject), "mais velho\r\n\r\n\r\n");
  EXPECT_EQ(folder_.messages(), std::vector<std::string>{"Nao existem dados a serem salvos em 'addb'"});
}

TEST_F(AddbOnHsm, AListTooLargeIsCutBeforeTheFirstMemberThatDoesNotFit) {
  const GroupMember big{"logon", std::string(1000 - 15 - 5 - 6, 'n'), "A0123456789abcd"};
  EXPECT_TRUE(writeAddb(MemberList(70, big)));
  EXPECT_EQ(stored(kAddbObject).size(), 65000u);
  const auto lines = folder_.lines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].label, "Atencao");
  EXPECT_NE(lines[0].message.find(": 5 membro(s)"), std::string::npos) << lines[0].message;
  MemberList read;
  EXPECT_TRUE(readAddb(read));
  EXPECT_EQ(read.size(), 65u);
}

TEST_F(AddbOnHsm, AMissingObjectReadsAsNothingWithAWarning) {
  MemberList read;
  EXPECT_TRUE(readAddb(read));
  EXPECT_TRUE(read.empty());
  const auto lines = folder_.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].label, "Atencao");
  EXPECT_EQ(lines[0].message,
            "O base de dados 'addb' nao existe dentro do HSM/Tessel. Por enquanto nenhuma acao eh necessaria");
}

TEST_F(AddbOnHsm, ObjectsTheServiceCannotHaveWrittenAreRefused) {
  const std::string unreadable = "Erro na leitura de 'addb'. Procure o atendimento de Suporte. Codigo 101.";
  // Too large: nothing of it is taken.
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, std::string(70000, 'x')), KV_OK);
  MemberList read;
  EXPECT_FALSE(readAddb(read));
  EXPECT_TRUE(read.empty());
  // Ends inside a record: the records before it stay.
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, "A1\r\nl1\r\nc1\r\nA2\r\nl2"), KV_OK);
  EXPECT_FALSE(readAddb(read));
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0], (GroupMember{"l1", "c1", "A1"}));
  // A well-formed object afterwards reads whole (the buffer starts afresh).
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, "B\r\nl\r\nc\r\n"), KV_OK);
  read.clear();
  EXPECT_TRUE(readAddb(read));
  EXPECT_EQ(read.size(), 1u);
  EXPECT_EQ(countOf(folder_.messages(), unreadable), 2u);
  EXPECT_EQ(labelOf(folder_.lines(), unreadable), "Erro");
}

TEST_F(AddbOnHsm, FailuresAfterTheBackupLeaveTheListOnlyAsBackup) {
  ASSERT_EQ(writeAddbAccountObject(*server_, kAddbObject, "antes\r\n\r\n\r\n"), KV_OK);
  // Wrong password for the write session: the backup has already happened.
  folder_.writeHsmSettings(server_->host(), "master", "errada");
  EXPECT_FALSE(writeAddb({GroupMember{"a", "b", "A0123456789abcd"}}));
  EXPECT_EQ(stored(kAddbObject), missing);
  EXPECT_EQ(stored(kAddbBackupObject), "antes\r\n\r\n\r\n");
  EXPECT_TRUE(contains(folder_.messages(), "Nao foi possivel efetuar conexao com o HSM/Tessel. Codigo " +
                                               std::to_string(KV_ERR_LOGIN_REFUSED)));
  // A session user that may not write IntegracaoAD's objects.
  folder_.clearLog();
  folder_.writeHsmSettings(server_->host(), kvtest::kPlainUser, kvtest::kPlainPassword);
  SessionWindow window(*server_);
  EXPECT_FALSE(writeAddb({GroupMember{"a", "b", "A0123456789abcd"}}));
  EXPECT_EQ(window.loginsSince(), 2u);
  // The first refusal since a save succeeded names the missing right.
  EXPECT_EQ(folder_.messages(),
            (std::vector<std::string>{"Backup de 'addb' realizado com sucesso",
                                      "Nao foi possivel salvar 'addb'. Procure o atendimento de Suporte. Codigo " +
                                          std::to_string(KV_ERR_ACCESS_DENIED) + ". A conta [hsm] usr (" +
                                          kvtest::kPlainUser +
                                          ") precisa poder gravar os objetos de IntegracaoAD (seja administradora "
                                          "de objetos do HSM)."}));
  // Two failed saves in a row: the backup, the only copy left, stays.
  EXPECT_EQ(stored(kAddbBackupObject), "antes\r\n\r\n\r\n");
}

}  // namespace
