"""The template database under /db/: enrolment, read-out, verification, identification, abort."""

import base64
import threading
import time
import unittest

import harness
from harness import AgentTestCase, Page, get, init_devices, virtual_scanner

HTML_ENVELOPE = (b"HTTP/1.1 200 OK \r\nContent-Type: text/html \r\n"
                 b"Vary: Origin\r\nX-Content-Type-Options: nosniff\r\n\r\n")
WRONG = "passed wrong parameter"


def as_parameter(text):
    """Base64 as it reaches the agent inside a parameter: the "=" padding cut off."""
    return text.rstrip("=")


class Database(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="db-page", cookie="db-cookie")
        cls.handle = init_devices(cls.page)[0]

    def setUp(self):
        self.db("deleteAll")
        self.place(1)

    def db(self, name, **params):
        reply = self.page.db(name, self.handle, **params)
        self.assertTrue(reply.raw.startswith(HTML_ENVELOPE), reply.raw[:200])
        return reply.json()

    def place(self, finger, quality=90):
        virtual_scanner(self.agent, "place", 0, finger, "--quality", quality)

    def enrol(self, finger, user_id, **params):
        self.place(finger)
        count = self.db("queryData", )["db"]["size"]
        params.setdefault("extractEx", 1)
        reply = self.db("enroll", userSerialNo=count, userID=user_id, **params)
        self.assertEqual(reply["retValue"], "0", reply)
        self.assertEqual(reply["retString"], "Success", reply)
        return count

    def test_enrol_query_verify_identify(self):
        # The fingers of tests that expect a stranger to be turned away are pairs that score far
        # below the default threshold over many impressions (impressions differ on every run).
        # Some pairs of virtual fingers are near twins that match in a few per cent of
        # impressions or more (11 and 12: about 1 %, 21 and 22: 3 %), which made these tests
        # fail now and then. The pairs used here (11, 28, 13 and 77 among themselves, 21 against
        # 27) stayed below the default threshold in 64 to 100 impression pairs each, highest 86.
        self.enrol(11, "alice")
        self.enrol(28, "bob", selectTemplate=1, qualityLevel=0)
        self.enrol(13, "carol", extractEx=0)
        db = self.db("queryData")["db"]
        self.assertEqual(db["size"], 3)
        self.assertEqual([db[str(i)]["id"] for i in range(3)], ["alice", "bob", "carol"])
        for i in range(3):
            self.assertGreater(db[str(i)]["template1"], 0)
        self.assertEqual(db["0"]["template2"], 0)
        self.assertEqual(db["0"]["quality2"], 0)
        self.assertGreater(db["1"]["template2"], 0)
        self.assertEqual((db["1"]["quality1"], db["1"]["quality2"]), (100, 100))

        self.place(28)
        right = self.db("verify", userSerialNo=1, extractEx=1)
        self.assertEqual((right["retVerify"], right["retValue"], right["retString"]),
                         ("Success", "0", "Success"))
        wrong = self.db("verify", userSerialNo=0, extractEx=1)
        self.assertEqual((wrong["retVerify"], wrong["retValue"]), ("Fail", "0"))

        self.place(13)
        found = self.db("identify", extractEx=0)
        self.assertEqual((found["matchedIndex"], found["matchedID"], found["retValue"]),
                         (2, "carol", "0"))
        self.place(77)
        unknown = self.db("identify", extractEx=1)
        self.assertEqual(unknown["matchedID"], "Not Registered")
        self.assertEqual(unknown["retValue"], "0")
        self.assertFalse(0 <= unknown["matchedIndex"] < 3)

    def test_verify_out_of_range_and_quality_gate(self):
        self.enrol(11, "alice")
        reply = self.db("verify", userSerialNo=1, extractEx=1)
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        self.assertNotIn("retVerify", reply)
        reply = self.db("identify", extractEx=1, qualityLevel=101)
        self.assertEqual(reply["retValue"], "-302")
        self.assertEqual(reply["retString"], "Low quality fingerprint")

    def test_verify_template_plain_escaped_and_encrypted(self):
        self.enrol(21, "dana")
        plain = self.db("getTemplateData", userSerialNo=0, encrypt=0)
        self.assertEqual(plain["retValue"], "0")
        text = plain["templateBase64"]
        length = len(base64.b64decode(text))
        self.assertEqual(length, self.db("queryData")["db"]["0"]["template1"])

        self.place(21)
        for sent in (as_parameter(text),
                     as_parameter(text).replace("+", "%2B").replace("/", "%2F")):
            reply = self.db("verifyTemplate", tempData=sent, tempLen=length, encrypt=0,
                            extractEx=1)
            self.assertEqual((reply["retVerify"], reply["retValue"]), ("Success", "0"), sent)
        self.place(27)
        reply = self.db("verifyTemplate", tempData=as_parameter(text), tempLen=length, encrypt=0)
        self.assertEqual((reply["retVerify"], reply["retValue"]), ("Fail", "0"))

        key = "k" * 40  # only the first 32 bytes count
        sealed = self.db("getTemplateData", userSerialNo=0, encrypt=1, encryptKey=key)
        self.assertEqual(sealed["retValue"], "0")
        sealed_text = sealed["templateBase64"]
        sealed_length = len(base64.b64decode(sealed_text))
        self.assertEqual(sealed_length, length + 16)
        self.place(21)
        reply = self.db("verifyTemplate", tempData=as_parameter(sealed_text),
                        tempLen=sealed_length, encrypt=1, encryptKey="k" * 32)
        self.assertEqual((reply["retVerify"], reply["retValue"]), ("Success", "0"))

        # The virtual scanner notices a wrong key itself (-113).
        reply = self.db("verifyTemplate", tempData=as_parameter(sealed_text),
                        tempLen=sealed_length, encrypt=1, encryptKey="other")
        self.assertEqual(reply["retValue"], "-113")
        self.assertNotIn("<<", reply["retString"])
        # Sent as plain, the matcher cannot read it: its message and the hint.
        reply = self.db("verifyTemplate", tempData=as_parameter(sealed_text),
                        tempLen=sealed_length, encrypt=0)
        self.assertEqual(reply["retValue"], "-112")
        self.assertEqual(reply["retString"],
                         "Invalid template data <<Template data might be encrypted>>")

    def test_get_template_data_without_encrypt_answers_code_zero(self):
        self.enrol(11, "alice")
        reply = self.db("getTemplateData", userSerialNo=0)
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        reply = self.db("getTemplateData", userSerialNo=0, encrypt=0)
        self.assertEqual(reply["retValue"], "0")
        # Another value is refused rather than answered with the earlier text.
        reply = self.db("getTemplateData", userSerialNo=0, encrypt=2)
        self.assertEqual((reply["retValue"], reply["retString"]), ("-112", WRONG))

    def test_delete_renumbers_and_delete_all_empties(self):
        for finger, name in ((31, "u0"), (32, "u1"), (33, "u2")):
            self.enrol(finger, name)
        reply = self.db("delete", userSerialNo=0)
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        db = self.db("queryData")["db"]
        self.assertEqual((db["size"], db["0"]["id"], db["1"]["id"]), (2, "u1", "u2"))
        self.assertNotIn("2", db)
        # The former user 2 now answers as user 1.
        self.place(33)
        self.assertEqual(self.db("verify", userSerialNo=1, extractEx=1)["retVerify"], "Success")
        self.assertEqual(self.db("identify", extractEx=1)["matchedIndex"], 1)

        for serial in (2, -1):
            reply = self.db("delete", userSerialNo=serial)
            self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        self.assertEqual(self.db("queryData")["db"]["size"], 2)

        reply = self.db("deleteAll")
        self.assertEqual((reply["retValue"], reply["retString"]), ("0", "Success"))
        self.assertEqual(self.db("queryData")["db"], {"size": 0})
        self.enrol(34, "fresh")
        db = self.db("queryData")["db"]
        self.assertEqual((db["size"], db["0"]["id"], db["0"]["template2"]), (1, "fresh", 0))

    def test_uninit_device_empties_the_store(self):
        self.enrol(11, "alice")
        self.page.api("uninitDevice")
        type(self).handle = init_devices(self.page)[0]
        self.assertEqual(self.db("queryData")["db"], {"size": 0})

    def test_replies_carry_only_their_own_members_and_session_id(self):
        self.db("queryData")
        self.place(40)
        reply = self.db("enroll", userSerialNo=0, userID="x", extractEx=1)
        self.assertIsInstance(reply.pop("quality"), int)  # the enrolment's own
        self.assertEqual(reply, {"retValue": "0", "retString": "Success", "sessionId": "0"})

    def test_sessions_and_unknown_names(self):
        other = Page(page_id="intruder", cookie="other-cookie")
        reply = other.db("verify", self.handle, userSerialNo=0, extractEx=1).json()
        self.assertIn("is held by another page until", reply.pop("detail"))
        reply.pop("heldUntil")
        self.assertEqual(reply, {"request": "verify", "retValue": -112,
                                 "retString": "invalid session cookie"})
        reply = self.page.db("identify", self.handle, cookie=False, extractEx=1).json()
        self.assertEqual(reply["retString"], "No session cookie is passed")
        # Store operations need no session.
        reply = other.db("queryData", self.handle, cookie=False).json()
        self.assertEqual(reply["retValue"], "0")
        for name in ("Enroll", "querydata", "abortidentify"):
            reply = self.page.db(name, self.handle).json()
            self.assertEqual(reply, {"retValue": -111, "retString": "Unsupported API"}, name)

    def test_malformed_parameters_keep_the_agent_serving(self):
        self.enrol(11, "alice")
        before = self.db("queryData")["db"]
        cases = [
            ("enroll", {"userSerialNo": "one"}),
            ("enroll", {"userSerialNo": "99999999999"}),
            ("enroll", {"selectTemplate": "x", "userSerialNo": 1}),
            ("enroll", {"userSerialNo": 1, "encrypt": "no"}),
            ("update", {"userSerialNo": "0", "extractEx": "one"}),
            ("delete", {"userSerialNo": "first"}),
            ("delete", {"userSerialNo": "-99999999999"}),
            ("verify", {"userSerialNo": "", "extractEx": 1}),
            ("identify", {"extractEx": "4294967296"}),
            ("getTemplateData", {"userSerialNo": 0, "encrypt": "yes"}),
            ("verifyTemplate", {"tempData": "A" * 1024, "tempLen": 8, "encrypt": 0}),
            ("verifyTemplate", {"tempData": "YWJj", "tempLen": 1025, "encrypt": 0}),
            ("verifyTemplate", {"tempData": "YWJj", "tempLen": "x", "encrypt": 0}),
            ("verifyTemplate", {"tempData": "YWJjZGVm", "tempLen": 2, "encrypt": 0}),
            ("verifyTemplate", {"tempData": "YWJj%2", "tempLen": 8, "encrypt": 0}),
            ("verifyTemplate", {"tempData": "YWJj%", "tempLen": 8, "encrypt": 0}),
        ]
        for name, params in cases:
            reply = self.db(name, **params)
            self.assertEqual((reply["retValue"], reply["retString"]), ("-112", WRONG),
                             (name, params))
            self.assertEqual(self.db("queryData")["db"], before, (name, params))
        # An out-of-range enrolment number is the integer fault.
        reply = self.db("enroll", userSerialNo=5, userID="x")
        self.assertEqual((reply["retValue"], reply["retString"]), (-112, WRONG))
        self.place(11)
        self.assertEqual(self.db("verify", userSerialNo=0, extractEx=1)["retVerify"], "Success")


class AbortIdentify(AgentTestCase):
    """An identification over a large gallery, ended by "abortIdentify" from another page."""

    GALLERY = 3000
    # Building the gallery extracts every enrolment from its image, which can take longer than
    # a session's lifetime on a slow or sanitizer build; expiry is not what this case tests.
    agent_env = {"WEBAGENT_SESSION_LIFETIME_MS": "3600000"}

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="abort-page", cookie="abort-cookie")
        cls.handle = init_devices(cls.page)[0]

    def db(self, name, **params):
        return self.page.db(name, self.handle, **params).json()

    def test_abort_ends_a_running_identification(self):
        # Enrolling one finger many times is cheap (one capture each) and makes a gallery the
        # matcher has to search end to end for a finger that is not in it.
        virtual_scanner(self.agent, "place", 0, 5)
        for serial in range(self.GALLERY):
            reply = self.db("enroll", userSerialNo=serial, userID="u%d" % serial, extractEx=1)
            self.assertEqual(reply["retValue"], "0", reply)
        self.assertEqual(self.db("queryData")["db"]["size"], self.GALLERY)
        virtual_scanner(self.agent, "place", 0, 6)

        # The abort only counts while the matcher runs, so keep sending it until the
        # identification answers; a few attempts make this independent of the machine's speed.
        outcomes = []
        for _ in range(5):
            result = {}

            def identify():
                result["reply"] = self.db("identify", extractEx=1)

            worker = threading.Thread(target=identify)
            worker.start()
            aborts = []
            while worker.is_alive():
                reply = get("/db/abortIdentify?dummy=1", timeout=20).json()
                aborts.append(reply)
            worker.join()
            for reply in aborts:  # answered at once, with the agent's usual members only
                self.assertEqual(reply, {"retValue": "0", "retString": "Success"})
            outcomes.append(result["reply"])
            if result["reply"]["retValue"] == "-401":
                break
        last = outcomes[-1]
        self.assertEqual(last["retValue"], "-401", outcomes)
        self.assertEqual(last["retString"], "Identification was aborted")
        # Earlier attempts that finished first found nobody.
        for reply in outcomes[:-1]:
            self.assertEqual(reply["matchedID"], "Not Registered")
        # The agent goes on serving: the next identification runs to its end.
        virtual_scanner(self.agent, "place", 0, 5)
        reply = self.db("identify", extractEx=1)
        self.assertEqual(reply["retValue"], "0")
        self.assertNotEqual(reply["matchedID"], "Not Registered")


if __name__ == "__main__":
    unittest.main()
