"""What replies tell a page beyond the result: the quality of each extraction, the matcher's
score and threshold, a "detail" for every parameter fault, and user IDs in any language."""

import base64
import unittest

from harness import AgentTestCase, Page, init_devices, virtual_scanner

WRONG = "passed wrong parameter"


class ReplyMembers(AgentTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.page = Page(page_id="members-page")
        cls.handle = init_devices(cls.page)[0]

    def setUp(self):
        self.db("deleteAll")

    def db(self, name, **params):
        reply = self.page.db(name, self.handle, **params)
        self.assertEqual(reply.status, 200, reply.raw[:300])
        return reply.json()

    def api(self, name, **params):
        reply = self.page.api(name, self.handle, **params)
        self.assertEqual(reply.status, 200, reply.raw[:300])
        return reply.json()

    def place(self, finger, quality=90):
        virtual_scanner(self.agent, "place", 0, finger, "--quality", quality)

    def enrol(self, finger, user_id):
        self.place(finger)
        count = self.db("queryData")["db"]["size"]
        reply = self.db("enroll", userSerialNo=count, userID=user_id, extractEx=1)
        self.assertEqual(reply["retValue"], "0", reply)
        return reply

    def assert_score(self, reply):
        for member in ("score", "threshold"):
            self.assertIsInstance(reply[member], int, reply)
            self.assertGreaterEqual(reply[member], 0, reply)

    def assert_quality(self, reply):
        self.assertIsInstance(reply["quality"], int, reply)
        self.assertTrue(0 <= reply["quality"] <= 100, reply)

    def test_extractions_report_quality_and_matches_report_score(self):
        # Virtual fingers 11 and 28 never come close to each other (see test_database's note).
        self.assert_quality(self.enrol(11, "alice"))
        self.assert_quality(self.enrol(28, "bob"))
        self.place(28)
        updated = self.db("update", userSerialNo=1, extractEx=1)
        self.assertEqual(updated["retValue"], "0", updated)
        self.assert_quality(updated)

        self.place(28)
        right = self.db("verify", userSerialNo=1, extractEx=1)
        self.assertEqual((right["retVerify"], right["retValue"]), ("Success", "0"), right)
        self.assert_quality(right)
        self.assert_score(right)
        self.assertGreaterEqual(right["score"], right["threshold"])
        # The finger that fails learns how close it came.
        wrong = self.db("verify", userSerialNo=0, extractEx=1)
        self.assertEqual((wrong["retVerify"], wrong["retValue"]), ("Fail", "0"), wrong)
        self.assert_score(wrong)
        self.assertLess(wrong["score"], wrong["threshold"])

        found = self.db("identify", extractEx=1)
        self.assertEqual(found["matchedIndex"], 1, found)
        self.assert_quality(found)
        self.assert_score(found)
        self.assertGreaterEqual(found["score"], found["threshold"])
        self.place(77)
        unknown = self.db("identify", extractEx=1)
        self.assertEqual(unknown["matchedID"], "Not Registered", unknown)
        self.assert_score(unknown)
        self.assertLess(unknown["score"], unknown["threshold"])

        self.place(11)
        plain = self.db("getTemplateData", userSerialNo=0, encrypt=0)["templateBase64"]
        raw = base64.b64decode(plain)
        encoded = plain.rstrip("=").replace("+", "%2B").replace("/", "%2F")
        checked = self.db("verifyTemplate", encrypt=0, tempLen=len(raw), tempData=encoded,
                          extractEx=1)
        self.assertEqual(checked["retVerify"], "Success", checked)
        self.assert_score(checked)

        # The scanner's own read-out reports its quality too, also when it falls short.
        self.place(11, quality=60)
        self.assertEqual(self.api("captureSingle")["retValue"], "0")
        template = self.api("getTemplateData", extractEx=1, encrypt=0)
        self.assertEqual(template["retValue"], "0", template)
        self.assert_quality(template)
        low = self.api("getTemplateData", extractEx=1, encrypt=0,
                       qualityLevel=template["quality"] + 1)
        self.assertEqual(low["retValue"], "-302", low)
        self.assertEqual(low["quality"], template["quality"])

    def test_every_parameter_fault_says_what_to_change(self):
        self.enrol(11, "alice")
        self.enrol(12, "bob")
        beyond = self.db("enroll", userSerialNo=5, userID="x", extractEx=1)
        self.assertEqual((beyond["retValue"], beyond["retString"]), (-112, WRONG), beyond)
        self.assertTrue(beyond["detail"].startswith("userSerialNo must be 2, the next free number"),
                        beyond)
        self.assertEqual(self.db("queryData")["db"]["size"], 2)

        faults = [
            (self.db, "verify", {"userSerialNo": 0}, "extractEx must be 0"),
            (self.db, "getTemplateData", {"userSerialNo": 0, "encrypt": 7}, "encrypt must be 0"),
            (self.db, "verifyTemplate", {"tempLen": 5000}, "tempLen must be 0 to 1024"),
            (self.api, "getTemplateData", {"extractEx": 2, "encrypt": 0}, "extractEx must be 0"),
            (self.api, "getImageData", {"fileType": 9}, "fileType must be 1"),
            (self.api, "saveImageBuffer", {"compressionRatio": "abc"}, "compressionRatio"),
        ]
        for call, name, params, detail in faults:
            reply = call(name, **params)
            self.assertEqual((reply["retValue"], reply["retString"]), ("-112", WRONG),
                             (name, reply))
            self.assertIn(detail, reply.get("detail", ""), (name, reply))
        # A request without a handle is told where handles come from.
        missing = self.page.db("queryData").json()
        self.assertEqual(missing["retValue"], "-112", missing)
        self.assertIn("DeviceHandle", missing["detail"])

    def test_user_ids_in_any_language(self):
        self.enrol(11, "Zo%C3%AB%20Smith")
        self.enrol(12, "a+b")       # accepted before as itself, and still
        self.enrol(13, "100%")      # a "%" that starts no escape is itself
        self.enrol(14, "%E6%9D%8E")
        users = self.db("queryData")["db"]
        self.assertEqual([users[str(i)]["id"] for i in range(4)],
                         ["Zo\u00eb Smith", "a+b", "100%", "\u674e"])
        self.place(11)
        found = self.db("identify", extractEx=1)
        self.assertEqual((found["matchedIndex"], found["matchedID"]), (0, "Zo\u00eb Smith"), found)

        for bad in ("Zo%EB", "%C3%28", "%FF"):
            reply = self.db("enroll", userSerialNo=4, userID=bad, extractEx=1)
            self.assertEqual((reply["retValue"], reply["retString"]), ("-112", WRONG), reply)
            self.assertIn("userID", reply["detail"])
        self.assertEqual(self.db("queryData")["db"]["size"], 4)


if __name__ == "__main__":
    unittest.main()
