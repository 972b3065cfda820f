#include <gtest/gtest.h>

#include "Routing.h"

using namespace backupservice;

TEST(RoutingTest, TargetPathStripsSchemeAndAuthority) {
    EXPECT_EQ(targetPath("/as/wapi/retrieve_db"), "/as/wapi/retrieve_db");
    EXPECT_EQ(targetPath("http://127.0.0.1:8080/as/wapi/retrieve_db"), "/as/wapi/retrieve_db");
    EXPECT_EQ(targetPath("HTTP://127.0.0.1/as/wapi/retrieve_db"), "/as/wapi/retrieve_db");
    EXPECT_EQ(targetPath("http://host.example"), "/");
    EXPECT_EQ(targetPath("*"), "*");
}

TEST(RoutingTest, OnlyGetOfTheDownloadPathIsServedAndOtherMethodsThereAreNotAllowed) {
    EXPECT_EQ(routeRequest("GET", "/as/wapi/retrieve_db"), Route::RetrieveDatabase);
    EXPECT_EQ(routeRequest("GET", "http://127.0.0.1:1/as/wapi/retrieve_db"), Route::RetrieveDatabase);
    EXPECT_EQ(routeRequest("POST", "/as/wapi/retrieve_db"), Route::MethodNotAllowed);
    EXPECT_EQ(routeRequest("HEAD", "http://127.0.0.1:1/as/wapi/retrieve_db"), Route::MethodNotAllowed);
    EXPECT_EQ(routeRequest("get", "/as/wapi/retrieve_db"), Route::MethodNotAllowed) << "methods are case-sensitive";
    EXPECT_EQ(routeRequest("POST", "/as/wapi/other"), Route::NotFound);
    EXPECT_EQ(routeRequest("GET", "/as/wapi/retrieve_db/"), Route::NotFound);
    EXPECT_EQ(routeRequest("GET", "/as/wapi/RETRIEVE_DB"), Route::NotFound);
    EXPECT_EQ(routeRequest("GET", "/"), Route::NotFound);
}

TEST(RoutingTest, BodiesAndEncodedNulBytesAreSeen) {
    EXPECT_FALSE(declaresBody(nullptr, nullptr));
    EXPECT_FALSE(declaresBody("0", nullptr));
    EXPECT_FALSE(declaresBody("000", nullptr));
    EXPECT_TRUE(declaresBody("100000000", nullptr));
    EXPECT_TRUE(declaresBody("", nullptr));
    EXPECT_TRUE(declaresBody(nullptr, "chunked"));
    EXPECT_TRUE(hasEncodedNul("/as/wapi/retrieve_db%00"));
    EXPECT_TRUE(hasEncodedNul("http://h/a%00b?Email=x"));
    EXPECT_FALSE(hasEncodedNul("/as/wapi/retrieve_db?Password=%00"));  // a query value may hold one
    EXPECT_FALSE(hasEncodedNul("/as/wapi/retrieve_db%2500"));
}

TEST(RoutingTest, TaggedFailureIsWhatClientsLookFor) {
    const std::string body = taggedFailure(kReasonInvalidCredentials);
    EXPECT_EQ(body,
              "<__Status__>FAILED</__Status__><__Reason__>Invalid e-mail address or password"
              "</__Reason__>");
    EXPECT_EQ(body.substr(0, 31), "<__Status__>FAILED</__Status__>");
}
