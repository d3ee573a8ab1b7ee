"""Each request gets its own reply: nothing one page was sent reappears in a reply to another
request, and a handle the agent has no scanner for is answered as an invalid handle."""

import unittest

from harness import AgentTestCase, Page, get, init_devices, virtual_scanner

INVALID_HANDLE = {"retValue": "-102", "retString": "Invalid device handle", "sessionId": "0"}
SCANNER_NAMES = ("getScannerStatus", "version", "getParameters", "setParameters",
                 "abortCapture", "isFingerOn", "captureSingle", "startCapturing", "autoCapture",
                 "getTemplateData", "getImageData", "saveImageBuffer")
# What a stranger may ask of a real scanner without waiting for a finger.
NON_CAPTURING = ("getScannerStatus", "version", "getParameters", "setParameters", "abortCapture",
                 "isFingerOn", "getTemplateData", "getImageData", "saveImageBuffer")
PRIVATE_MEMBERS = ("templateBase64", "imageBase64", "db", "matchedID", "ScannerInfos")


class ReplyIsolation(AgentTestCase):
    agent_env = {"WEBAGENT_VIRTUAL_SCANNERS": "2"}

    def test_nothing_read_by_one_page_reaches_later_replies(self):
        owner = Page(page_id="owner", cookie="owner-cookie")
        handles = init_devices(owner)
        handle = handles[0]
        owner.db("deleteAll", handle)
        for serial, (finger, user) in enumerate(((21, "alice-secret"), (22, "bob-secret"))):
            virtual_scanner(self.agent, "place", 0, finger)
            reply = owner.db("enroll", handle, userSerialNo=serial, userID=user,
                             extractEx=1).json()
            self.assertEqual(reply["retValue"], "0", reply)
        secrets = []
        db_template = owner.db("getTemplateData", handle, userSerialNo=0, encrypt=0).json()
        secrets.append(db_template["templateBase64"])
        self.assertEqual(owner.db("queryData", handle).json()["db"]["size"], 2)
        virtual_scanner(self.agent, "place", 0, 23)
        self.assertEqual(owner.api("captureSingle", handle).json()["retValue"], "0")
        api_template = owner.api("getTemplateData", handle, extractEx=1, encrypt=0).json()
        secrets.append(api_template["templateBase64"])
        image = owner.api("getImageData", handle, fileType=1).json()
        secrets.append(image["imageBase64"])
        self.assertTrue(all(secrets))

        # Another page, with no cookie or a cookie of its own, asks anything it likes.
        stranger = Page(page_id="stranger", cookie="stranger-cookie")
        later = []
        for name in SCANNER_NAMES:
            targets = (0, None, -1) + ((handles[1],) if name in NON_CAPTURING else ())
            for target in targets:
                later.append(stranger.api(name, target))
                later.append(stranger.call("api", name, target, cookie=False))
        # Serial number 5 names no user: these end before any capture. ("queryData" with a real
        # handle lists the users to anybody, as it always has; with none it must not.)
        for name in ("delete", "verify", "enroll", "getTemplateData", "update",
                     "abortIdentify", "nothing", "deleteAll"):
            later.append(stranger.db(name, handles[1], userSerialNo=5, extractEx=1))
            later.append(stranger.call("db", name, None, cookie=False))
        later.append(stranger.call("db", "queryData", 0, cookie=False))
        later.append(get("/api/version?dummy=1&sHandle=0"))
        later.append(get("/db/queryData?dummy=1&sHandle=0"))
        later.append(stranger.api("noSuchOperation", handle))
        later.append(stranger.api("uninitDevice"))
        for reply in later:
            text = reply.body.decode("utf-8", "replace")
            for secret in secrets:
                self.assertNotIn(secret[:40], text)
            for user in ("alice-secret", "bob-secret"):
                self.assertNotIn(user, text)
            if reply.body:
                body = reply.json()
                for member in PRIVATE_MEMBERS:
                    # A failed export names its own member, empty.
                    self.assertFalse(body.get(member), text)

    def test_handles_without_a_scanner_answer_invalid_handle(self):
        page = Page(page_id="owner", cookie="owner-cookie")
        page.api("uninitDevice")
        for name in SCANNER_NAMES:
            reply = page.api(name, -1).json()
            self.assertEqual(reply, dict(INVALID_HANDLE, request=name), name)
        handles = init_devices(page)
        self.assertEqual(page.api("captureSingle", handles[0]).json()["retValue"], "0")
        # A device unplugged since: its old handle names no scanner any more.
        virtual_scanner(self.agent, "plug")
        infos = page.api("initDevice").json()["ScannerInfos"]
        plugged = infos[-1]["DeviceHandle"]
        self.assertNotIn(plugged, handles)
        virtual_scanner(self.agent, "unplug", len(infos) - 1)
        self.assertEqual(init_devices(page), handles)
        for target in (plugged, -1, 12345):
            for name in SCANNER_NAMES:
                reply = page.api(name, target).json()
                self.assertEqual(reply, dict(INVALID_HANDLE, request=name), (name, target))
        self.assertEqual(page.api("version", handles[0]).json(),
                         {"API": "0.1", "request": "version"})


if __name__ == "__main__":
    unittest.main()
