// Image pages through the public calls: the content stream's placement and
// clipping, the page dictionary, per-page media size and rotation, and object
// order. Streams are read back through qpdf, not through the writer.
#include <gtest/gtest.h>

#include <string>

#include "pdf/pdfw.h"
#include "support/tools.h"
#include "support/writer_fixture.h"

namespace {

// add_page writes objects 4 image, 5 resources, 6 contents and 7 page; the
// next page 8 to 11.
using PageTest = WriterFixture;

TEST_F(PageTest, GeometryExampleGivesTheEightContentLines) {
    ASSERT_TRUE(pdfw_set_page_size(doc, 0, 0, 0, 59528, 84189));
    PageRect image{2835, 21898, 53858, 40393};
    PageRect clip{2835, 2835, 53858, 78519};
    ASSERT_TRUE(add_page(doc, &image, &clip));
    std::string pdf = finish();
    EXPECT_EQ(stream_data(pdf, 6),
              "q\n0 0 0 rg\nq\n28.35 28.35 538.58 785.19 re W n\n"
              "538.58 0 0 403.93 28.35 218.98 cm\n/R4 Do\nQ\nQ\n");
    EXPECT_EQ(run_command({"qpdf", "--check", pdf}).status, 0);
}

TEST_F(PageTest, PlacementVariants) {
    // No clip: no clipping line. No rectangle: the default page.
    // Below the page bottom: a negative y with a leading minus.
    PageRect low{0, 84000, 100, 350};
    ASSERT_TRUE(add_page(doc));
    ASSERT_TRUE(add_page(doc, &low, nullptr));
    std::string pdf = finish();
    EXPECT_EQ(stream_data(pdf, 6), "q\n0 0 0 rg\nq\n595 0 0 842 0 0 cm\n/R4 Do\nQ\nQ\n");
    EXPECT_EQ(stream_data(pdf, 10), "q\n0 0 0 rg\nq\n1 0 0 3.50 0 -1.50 cm\n/R8 Do\nQ\nQ\n");
}

TEST_F(PageTest, PagesComeInOrderWithTheirObjects) {
    ASSERT_TRUE(add_page(doc));
    ASSERT_TRUE(add_page(doc));
    std::string pdf = finish();
    EXPECT_NE(run_command({"qpdf", "--show-object=4", pdf}).out.find("/Subtype /Image"),
              std::string::npos);
    std::string res = run_command({"qpdf", "--show-object=9", pdf}).out;
    EXPECT_EQ(res, "<< /R8 8 0 R >>\n");
    std::string page = run_command({"qpdf", "--show-object=11", pdf}).out;
    EXPECT_NE(page.find("/Contents [ 10 0 R ]"), std::string::npos) << page;
    EXPECT_NE(page.find("/XObject 9 0 R"), std::string::npos) << page;
    EXPECT_EQ(page.find("/MediaBox"), std::string::npos) << page;
    EXPECT_EQ(page.find("/Rotate"), std::string::npos) << page;
    std::string pages = run_command({"qpdf", "--show-npages", pdf}).out;
    EXPECT_EQ(pages, "2\n");
    std::string kids = run_command({"qpdf", "--show-pages", pdf}).out;
    EXPECT_NE(kids.find("page 1: 7 0 R"), std::string::npos) << kids;
    EXPECT_NE(kids.find("page 2: 11 0 R"), std::string::npos) << kids;
}

TEST_F(PageTest, NextPageSizeAndRotation) {
    EXPECT_FALSE(pdfw_set_next_page_size(doc, 0, 0, 0, 0, 500));
    EXPECT_FALSE(pdfw_set_next_page_size(doc, 0, 1, 0, 500, 500));
    EXPECT_FALSE(pdfw_set_next_page_size(doc, 3, 0, 0, 500, 500));
    ASSERT_TRUE(pdfw_set_next_page_size(doc, 0, 0, 0, 12345, 20000));
    EXPECT_FALSE(pdfw_set_next_page_size(doc, 0, 0, 0, 0, 1));  // keeps 12345 x 20000
    EXPECT_FALSE(pdf_page_set_rotate(doc, 45));
    std::string said = stdout_of([&] { EXPECT_TRUE(pdf_page_set_rotate(doc, 90)); });
    EXPECT_EQ(said, "PDF: pdf_page_set_rotate( 90)\n");
    PageRect image{100, 200, 1000, 800};
    ASSERT_TRUE(add_page(doc, &image, &image));
    ASSERT_TRUE(pdfw_set_next_page_size(doc, 2, 0, 0, 0, 0));
    ASSERT_TRUE(add_page(doc, &image, nullptr));
    std::string pdf = finish();
    std::string first = run_command({"qpdf", "--show-object=7", pdf}).out;
    EXPECT_NE(first.find("/MediaBox [ 0 0 123.45 200 ]"), std::string::npos) << first;
    EXPECT_NE(first.find("/Rotate 90"), std::string::npos) << first;
    // Placement measures y from the per-page height, 20000.
    EXPECT_EQ(stream_data(pdf, 6),
              "q\n0 0 0 rg\nq\n1 190 10 8 re W n\n10 0 0 8 1 190 cm\n/R4 Do\nQ\nQ\n");
    std::string second = run_command({"qpdf", "--show-object=11", pdf}).out;
    EXPECT_NE(second.find("/MediaBox [ 0 0 842 595 ]"), std::string::npos) << second;
    EXPECT_EQ(stream_data(pdf, 10), "q\n0 0 0 rg\nq\n10 0 0 8 1 585 cm\n/R8 Do\nQ\nQ\n");
}

using PageNoFile = WriterTest;

TEST_F(PageNoFile, RefusedWithoutAnOpenFile) {
    PdfDocument* doc = nullptr;
    ASSERT_TRUE(pdfw_new(&doc));
    DibHandle dib = make_dib(8, 8, 1, 3780);
    EXPECT_FALSE(pdfw_impage(doc, dib, nullptr, nullptr));
    EXPECT_EQ(pdfw_destroy(&doc), PDFW_ERR_FILE_STATE);
    dib_command(DIB_OP_FREE, &dib, nullptr);
    EXPECT_FALSE(pdfw_impage(nullptr, dib, nullptr, nullptr));
}

}  // namespace
