#include "app/czelk_app.h"

#include "app/czelk_dlg.h"

namespace zelk {

CzelkApp::CzelkApp(const Platform& platform) : platform_(platform) {}

bool CzelkApp::InitInstance() {
    {
        CzelkDlg dialog(platform_);
        modalResult_ = dialog.DoModal();
    }  // the dialog, the engine and its context are torn down here
    return false;
}

}  // namespace zelk
