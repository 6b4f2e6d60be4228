// The main window's form and its four script methods, in-process.
#include "luafixture.h"
#include "luax.h"
#include "mainwindow.h"

#include <QPointer>
#include <QStatusBar>
#include <QTest>

using testsupport::LuaFixture;

class MainWindowTest : public QObject
{
    Q_OBJECT

    LuaFixture *lua = nullptr;
    MainWindow *window = nullptr;

private slots:
    void initTestCase()
    {
        window = MainWindow::instance();
        lua = new LuaFixture;
        lua_getglobal(lua->L, "qt");
        luaX_createclass(lua->L, "MainWindow", lmainwindow_methods, "QWidget", 0, 1);
        lua_pop(lua->L, 1);
        luaX_pushobject(lua->L, static_cast<QObject *>(window), "MainWindow");
        lua_setglobal(lua->L, "mainWindow");
    }
    void cleanupTestCase()
    {
        delete lua;
        delete window;
    }

    void formIsSetUp()
    {
        QCOMPARE(MainWindow::instance(), window);
        QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
        QCOMPARE(window->size(), QSize(837, 442));
        QCOMPARE(window->windowTitle(), QStringLiteral("Orvane"));
        // The form's widget gave way to a plain, unnamed central widget.
        QVERIFY(window->centralWidget());
        QVERIFY(window->centralWidget()->objectName().isEmpty());
        QVERIFY(window->statusBar());
    }

    void setTextShowsInTheStatusBar()
    {
        QCOMPARE(lua->run("mainWindow:setText('hello status')"), QString());
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("hello status"));
        QCOMPARE(lua->run("mainWindow:setText(42)"), QString());
        QCOMPARE(window->statusBar()->currentMessage(), QStringLiteral("42"));
        QVERIFY(lua->run("mainWindow:setText()").contains(QStringLiteral("bad argument #1")));
    }

    void methodsCheckTheirWidgets()
    {
        QVERIFY(lua->run("mainWindow:isAnimating(nil)").contains(QStringLiteral("QWidget expected, got nil")));
        QVERIFY(lua->run("mainWindow:animate(lcdCanvas, 0,0,1,1, 0,0,1,1)")
                    .contains(QStringLiteral("QWidget expected, got userdata")));
        QVERIFY(lua->run("mainWindow:animate(mainWindow, 0,0,1)").contains(QStringLiteral("number expected")));
    }

    void animateSlidesAWidget()
    {
        auto *child = new QWidget(window->centralWidget());
        child->setGeometry(0, 0, 20, 20);
        luaX_pushobject(lua->L, static_cast<QObject *>(child), "QWidget");
        lua_setglobal(lua->L, "child");
        QCOMPARE(lua->run("mainWindow:animate(child, 0, 0, 30, 30, 100.9, 50, 30, 30)"), QString());
        QCOMPARE(lua->eval("mainWindow:isAnimating(child)"), QVariant(true));
        QTRY_COMPARE_WITH_TIMEOUT(lua->eval("mainWindow:isAnimating(child)"), QVariant(false), 3000);
        QCOMPARE(child->geometry(), QRect(100, 50, 30, 30));
        QCOMPARE(lua->run("mainWindow:animate(child, 5, 6, 7, 8, 9, 10, 11, 12, false)"), QString());
        QCOMPARE(lua->eval("mainWindow:isAnimating(child)"), QVariant(false));
        QCOMPARE(child->geometry(), QRect(9, 10, 7, 8));
        // An explicit nil means "not animated".
        QCOMPARE(lua->run("mainWindow:animate(child, 0, 0, 7, 8, 40, 40, 7, 8, nil)"), QString());
        QCOMPARE(child->pos(), QPoint(40, 40));
    }

    void setCentralWidgetReplacesTheRoot()
    {
        QPointer<QWidget> oldRoot = window->centralWidget();
        luaX_pushobject(lua->L, static_cast<QObject *>(oldRoot.data()), "QWidget");
        lua_setglobal(lua->L, "oldRoot");
        auto *next = new QWidget;
        luaX_pushobject(lua->L, static_cast<QObject *>(next), "QWidget");
        lua_setglobal(lua->L, "nextRoot");
        QCOMPARE(lua->run("mainWindow:setCentralWidget(nextRoot)"), QString());
        QCOMPARE(window->centralWidget(), next);
        QVERIFY(oldRoot && oldRoot->isHidden());
        QTRY_VERIFY(!oldRoot); // deleted once control returns to the loop
        QVERIFY(lua->run("oldRoot:destroy()").contains(QStringLiteral("attempting to access deleted QObject")));
    }

    void setCentralWidgetRefusesTheWindowItself()
    {
        QWidget *before = window->centralWidget();
        QVERIFY(lua->run("mainWindow:setCentralWidget(mainWindow)").contains(QStringLiteral("own ancestor")));
        QCOMPARE(window->centralWidget(), before);
    }
};

QTEST_MAIN(MainWindowTest)
#include "mainwindow.moc"
